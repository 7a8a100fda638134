// The hosted service's official JavaScript SDK, unchanged, against orlavant-vault: sign-up,
// password sign-in, reading the user, refresh with rotation and sign-out in each of its scopes.
// The tokens' every member, expiry and reuse detection are pinned by tst_vault_sessions.
import assert from 'node:assert/strict';
import { after, before, describe, test } from 'node:test';

import { newEmail, password, signedUpMember as member, startVault } from './vault.mjs';

const claimsOf = (jwt) => JSON.parse(Buffer.from(jwt.split('.')[1], 'base64url').toString());

describe('auth', () => {
    let vault;
    before(async () => { vault = await startVault(); });
    after(() => vault?.stop());

    async function signedIn(email) {
        const sdk = vault.client();
        const { data, error } = await sdk.auth.signInWithPassword({ email, password });
        assert.equal(error, null);
        return { sdk, session: data.session };
    }

    test('sign-up signs in at once; password sign-in reads back the same user', async () => {
        const sdk = vault.client();
        const events = [];
        sdk.auth.onAuthStateChange((event) => events.push(event));
        const email = newEmail();
        const { data, error } = await sdk.auth.signUp({ email, password });
        assert.equal(error, null);
        const { session, user } = data;
        assert.ok(session, 'a session, not a user awaiting confirmation');
        assert.equal(claimsOf(session.access_token).exp, session.expires_at);
        assert.ok(events.includes('SIGNED_IN'), `events: ${events}`);

        const { sdk: other, session: second } = await signedIn(email);
        assert.notEqual(claimsOf(second.access_token).session_id, claimsOf(session.access_token).session_id);
        const read = await other.auth.getUser();
        assert.equal(read.error, null);
        assert.deepEqual([read.data.user.id, read.data.user.email], [user.id, email]);
        const wrong = await vault.client().auth.signInWithPassword({ email, password: 'not it' });
        assert.deepEqual([wrong.data.session, wrong.error.code], [null, 'invalid_credentials']);
    });

    test('refresh rotates both tokens; a retry with the spent token gets the same successor', async () => {
        const { sdk, session: first } = await member(vault);
        const events = [];
        sdk.auth.onAuthStateChange((event) => events.push(event));
        const { data, error } = await sdk.auth.refreshSession();
        assert.equal(error, null);
        const second = data.session;
        assert.notEqual(second.refresh_token, first.refresh_token);
        assert.equal(claimsOf(second.access_token).session_id, claimsOf(first.access_token).session_id);
        assert.ok(events.includes('TOKEN_REFRESHED'), `events: ${events}`);
        // A second tab of the same session, within the reuse interval: same chain, same successor.
        const retry = await vault.client().auth.refreshSession({ refresh_token: first.refresh_token });
        assert.equal(retry.data.session.refresh_token, second.refresh_token);
        assert.equal((await sdk.auth.getUser()).error, null);
    });

    test('sign-out scopes: local ends this device, others the rest, global every one', async () => {
        const { sdk: laptop, email } = await member(vault);
        const { sdk: phone } = await signedIn(email);
        const { sdk: tablet } = await signedIn(email);
        const works = async (token) => (await vault.client().auth.getUser(token)).error === null;
        const token = async (sdk) => (await sdk.auth.getSession()).data.session.access_token;
        const [laptopToken, phoneToken, tabletToken] = [await token(laptop), await token(phone), await token(tablet)];

        assert.equal((await laptop.auth.signOut({ scope: 'local' })).error, null);
        assert.deepEqual([await works(laptopToken), await works(phoneToken), await works(tabletToken)],
                         [false, true, true]);
        assert.equal((await phone.auth.signOut({ scope: 'others' })).error, null);
        assert.deepEqual([await works(phoneToken), await works(tabletToken)], [true, false]);
        const { session: desktop } = await signedIn(email);
        assert.equal((await phone.auth.signOut()).error, null);
        assert.equal((await phone.auth.getSession()).data.session, null);
        assert.deepEqual([await works(phoneToken), await works(desktop.access_token)], [false, false]);
    });
});
