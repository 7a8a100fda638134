// The hosted service's official JavaScript SDK, unchanged, against orlavant-vault: sign-up,
// password sign-in, reading the user, refresh with rotation, a retry within the reuse interval,
// reuse detection without one (which ends the session), and sign-out in each of its scopes.
import assert from 'node:assert/strict';
import { after, before, describe, test } from 'node:test';

import { startVault } from './vault.mjs';

const password = 'correct horse battery';
let serial = 0;
const newEmail = () => `member${++serial}@example.org`;
const claimsOf = (jwt) => JSON.parse(Buffer.from(jwt.split('.')[1], 'base64url').toString());

describe('with the default token lifetime', () => {
    let vault;
    before(async () => { vault = await startVault(); });
    after(() => vault?.stop());

    // A client signed up as a new member; returns the client, its session and the e-mail.
    async function signedUp() {
        const sdk = vault.client();
        const email = newEmail();
        const { data, error } = await sdk.auth.signUp({ email, password });
        assert.equal(error, null);
        return { sdk, session: data.session, email };
    }
    async function signedIn(email) {
        const sdk = vault.client();
        const { data, error } = await sdk.auth.signInWithPassword({ email, password });
        assert.equal(error, null);
        return { sdk, session: data.session };
    }

    test('sign-up signs in at once with the session and user the SDK expects', async () => {
        const sdk = vault.client();
        const events = [];
        sdk.auth.onAuthStateChange((event) => events.push(event));
        const email = newEmail();
        const { data, error } = await sdk.auth.signUp({ email, password });
        assert.equal(error, null);
        const { session, user } = data;
        // The reply's and the token's every member are pinned by the vault's own tests; here, what
        // the SDK builds its session from.
        assert.ok(session, 'a session, not a user awaiting confirmation');
        assert.equal(session.expires_in, 3600);
        assert.equal(user.email, email);
        const claims = claimsOf(session.access_token);
        assert.equal(claims.sub, user.id);
        assert.equal(claims.exp, session.expires_at);
        assert.equal((await sdk.auth.getSession()).data.session.access_token, session.access_token);
        assert.ok(events.includes('SIGNED_IN'), `events: ${events}`);
    });

    test('password sign-in reads back the same user; a wrong password or a taken address is refused', async () => {
        const { session: first, email } = await signedUp();
        const { sdk, session } = await signedIn(email);
        assert.notEqual(session.access_token, first.access_token);
        assert.notEqual(claimsOf(session.access_token).session_id, claimsOf(first.access_token).session_id);
        const { data, error } = await sdk.auth.getUser();
        assert.equal(error, null);
        assert.equal(data.user.id, first.user.id);
        assert.equal(data.user.email, email);

        const wrong = await vault.client().auth.signInWithPassword({ email, password: 'not it' });
        assert.equal(wrong.data.session, null);
        assert.equal(wrong.error.status, 400);
        assert.equal(wrong.error.code, 'invalid_credentials');
        assert.equal(wrong.error.message, 'Invalid login credentials');

        const again = await vault.client().auth.signUp({ email, password });
        assert.equal(again.error.code, 'user_already_exists');
    });

    test('refresh rotates both tokens; a retry with the spent token gets the same successor', async () => {
        const { sdk, session: first } = await signedUp();
        const events = [];
        sdk.auth.onAuthStateChange((event) => events.push(event));
        const { data, error } = await sdk.auth.refreshSession();
        assert.equal(error, null);
        const second = data.session;
        assert.notEqual(second.refresh_token, first.refresh_token);
        assert.notEqual(second.access_token, first.access_token);
        assert.equal(claimsOf(second.access_token).session_id, claimsOf(first.access_token).session_id);
        assert.equal(second.user.id, first.user.id);
        assert.ok(events.includes('TOKEN_REFRESHED'), `events: ${events}`);
        assert.equal((await sdk.auth.getUser()).error, null);

        // Another client of the same session (a second tab) refreshes with the token just spent,
        // as the hosted service allows within its reuse interval: same chain, same successor.
        const tab = vault.client();
        const retry = await tab.auth.refreshSession({ refresh_token: first.refresh_token });
        assert.equal(retry.error, null);
        assert.equal(retry.data.session.refresh_token, second.refresh_token);
        assert.equal((await sdk.auth.getUser()).error, null);
    });

    test('sign-out scopes: local ends this device, others the rest, global every one', async () => {
        const { sdk: laptop, email } = await signedUp();
        const { sdk: phone } = await signedIn(email);
        const { sdk: tablet } = await signedIn(email);
        const works = async (sdk, token) => (await vault.client().auth.getUser(token)).error === null;
        const tokens = async (...sdks) =>
            Promise.all(sdks.map(async (sdk) => (await sdk.auth.getSession()).data.session.access_token));

        const [laptopToken] = await tokens(laptop);
        assert.equal((await laptop.auth.signOut({ scope: 'local' })).error, null);
        const [phoneToken, tabletToken] = await tokens(phone, tablet);
        assert.deepEqual([await works(laptop, laptopToken), await works(phone, phoneToken), await works(tablet, tabletToken)],
                         [false, true, true]);

        assert.equal((await phone.auth.signOut({ scope: 'others' })).error, null);
        assert.deepEqual([await works(phone, phoneToken), await works(tablet, tabletToken)], [true, false]);

        const { sdk: desktop, session: desktopSession } = await signedIn(email);
        assert.equal((await phone.auth.signOut()).error, null);
        assert.equal((await phone.auth.getSession()).data.session, null);
        assert.deepEqual([await works(phone, phoneToken), await works(desktop, desktopSession.access_token)],
                         [false, false]);
    });
});

describe('without a refresh reuse interval', () => {
    let vault;
    before(async () => { vault = await startVault(['--refresh-reuse-interval', '0']); });
    after(() => vault?.stop());

    test('a spent refresh token is refused and ends the session', async () => {
        const sdk = vault.client();
        const { data: up, error: upError } = await sdk.auth.signUp({ email: newEmail(), password });
        assert.equal(upError, null);
        const first = up.session;
        const { data, error } = await sdk.auth.refreshSession();
        assert.equal(error, null);
        const second = data.session;

        // Someone else holds the first refresh token and presents it after it was spent.
        const thief = vault.client();
        const replay = await thief.auth.refreshSession({ refresh_token: first.refresh_token });
        assert.equal(replay.data.session, null);
        assert.equal(replay.error.status, 400);
        assert.equal(replay.error.code, 'refresh_token_already_used');

        // The whole session ended: the current access token and the current refresh token too.
        const user = await sdk.auth.getUser();
        assert.equal(user.data.user, null);
        assert.equal(user.error.name, 'AuthSessionMissingError');
        const next = await thief.auth.refreshSession({ refresh_token: second.refresh_token });
        assert.equal(next.error.code, 'refresh_token_not_found');
    });
});

describe('with access tokens shorter than the SDK\'s refresh margin', () => {
    let vault;
    before(async () => { vault = await startVault(['--token-ttl', '60']); });
    after(() => vault?.stop());

    test('the SDK refreshes the session on its own before using it', async () => {
        const sdk = vault.client();
        const { data, error } = await sdk.auth.signUp({ email: newEmail(), password });
        assert.equal(error, null);
        assert.equal(data.session.expires_in, 60);
        const events = [];
        sdk.auth.onAuthStateChange((event) => events.push(event));
        const user = await sdk.auth.getUser();
        assert.equal(user.error, null);
        const current = (await sdk.auth.getSession()).data.session;
        assert.notEqual(current.refresh_token, data.session.refresh_token);
        assert.ok(events.includes('TOKEN_REFRESHED'), `events: ${events}`);
    });
});
