// The hosted service's official JavaScript SDK, unchanged, against orlavant-vault's files table:
// insert, select of named columns with a filter, order, limit and an exact count, and upsert on
// the unique columns. The REST layer's edges and each user seeing only their own rows are pinned
// by tst_vault_rest and tst_vault_server.
import assert from 'node:assert/strict';
import { after, before, test } from 'node:test';

import { signedUpMember as member, startVault } from './vault.mjs';

const row = (userId, name, size) => ({
    user_id: userId,
    file_hash: name.padEnd(64, '0').replace(/[^0-9a-f]/g, 'f').slice(0, 64),
    original_filename: name,
    file_path: `${userId}/mac/Laptop/${name}`,
    file_size: size,
    mime_type: 'text/plain',
    device_name: 'Laptop',
    device_type: 'mac',
    folder_path: '/home/a/Sync',
});

let vault;
before(async () => { vault = await startVault(); });
after(() => vault?.stop());

test('table: insert, select with a filter, order, limit and count, then upsert in place', async () => {
    const { sdk, id } = await member(vault);
    const files = () => sdk.from('files');
    const inserted = await files().insert([row(id, 'a.txt', 30), row(id, 'b.txt', 10), row(id, 'c.txt', 20)]);
    assert.equal(inserted.status, 201);

    const { data, error, count, status } = await files()
        .select('original_filename, file_size', { count: 'exact' })
        .gte('file_size', 20)
        .order('file_size', { ascending: false })
        .limit(1);
    assert.equal(error, null);
    assert.deepEqual([status, count, data], [206, 2, [{ original_filename: 'a.txt', file_size: 30 }]]);

    assert.equal((await files().insert(row(id, 'b.txt', 10))).error.code, '23505');
    const upserted = await files().upsert([row(id, 'b.txt', 250)], { onConflict: 'user_id,file_path' })
        .select('file_size');
    assert.deepEqual(upserted.data, [{ file_size: 250 }]);
    const counted = await files().select('*', { count: 'exact', head: true });
    assert.equal(counted.count, 3);
});
