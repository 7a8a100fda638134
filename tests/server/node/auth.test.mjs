// The hosted service's official JavaScript SDK, unchanged, against orlavant-vault: sign-up,
// password sign-in and reading the user. Refresh, reuse detection and sign-out are pinned by
// tst_vault_sessions.
import assert from 'node:assert/strict';
import { after, before, describe, test } from 'node:test';

import { newEmail, password, startVault } from './vault.mjs';

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
});
