// The hosted service's official JavaScript SDK, unchanged, against orlavant-vault's files table
// and its procedure: insert, select of named columns with filters, order, limit, range and an
// exact count, upsert on the unique columns, the registration procedure, and each user seeing
// only their own rows.
import assert from 'node:assert/strict';
import { after, before, describe, test } from 'node:test';

import { signedUpMember as member, startVault } from './vault.mjs';

const row = (userId, name, size, folder = '/home/a/Sync') => ({
    user_id: userId,
    file_hash: name.padEnd(64, '0').replace(/[^0-9a-f]/g, 'f').slice(0, 64),
    original_filename: name,
    file_path: `${userId}/mac/Laptop/${name}`,
    file_size: size,
    mime_type: 'text/plain',
    device_name: 'Laptop',
    device_type: 'mac',
    folder_path: folder,
});

describe('the files table', () => {
    let vault;
    before(async () => { vault = await startVault(); });
    after(() => vault?.stop());

    test('select of named columns with filters, order, limit and an exact count', async () => {
        const { sdk, id } = await member(vault);
        const rows = [row(id, 'a.txt', 30), row(id, 'b.txt', 10), row(id, 'c.txt', 20), row(id, 'd.txt', 40)];
        const inserted = await sdk.from('files').insert(rows);
        assert.equal(inserted.error, null);
        assert.equal(inserted.status, 201);

        const { data, error, count, status } = await sdk.from('files')
            .select('original_filename, file_size', { count: 'exact' })
            .gte('file_size', 20)
            .order('file_size', { ascending: false })
            .limit(2);
        assert.equal(error, null);
        assert.equal(status, 206);
        assert.equal(count, 3);
        assert.deepEqual(data, [{ original_filename: 'd.txt', file_size: 40 },
                                { original_filename: 'a.txt', file_size: 30 }]);

        const page = await sdk.from('files').select('original_filename').order('original_filename').range(1, 2);
        assert.deepEqual(page.data.map((r) => r.original_filename), ['b.txt', 'c.txt']);
        const some = await sdk.from('files').select('original_filename').in('original_filename', ['a.txt', 'c.txt'])
            .order('original_filename');
        assert.deepEqual(some.data.map((r) => r.original_filename), ['a.txt', 'c.txt']);
        const one = await sdk.from('files').select('file_size').eq('original_filename', 'b.txt').single();
        assert.deepEqual(one.data, { file_size: 10 });
        const counted = await sdk.from('files').select('*', { count: 'exact', head: true });
        assert.equal(counted.count, 4);
        assert.equal(counted.data, null);
    });

    test('upsert on the unique columns updates the row in place', async () => {
        const { sdk, id } = await member(vault);
        const first = await sdk.from('files').insert(row(id, 'report.pdf', 100)).select('id, file_size');
        assert.equal(first.error, null);
        const duplicate = await sdk.from('files').insert(row(id, 'report.pdf', 100));
        assert.equal(duplicate.error.code, '23505');
        assert.equal(duplicate.status, 409);

        const { data, error } = await sdk.from('files')
            .upsert([row(id, 'report.pdf', 250)], { onConflict: 'user_id,file_path' })
            .select('id, file_size');
        assert.equal(error, null);
        assert.deepEqual(data, [{ id: first.data[0].id, file_size: 250 }]);
        const wrongTarget = await sdk.from('files').upsert(row(id, 'report.pdf', 1), { onConflict: 'file_hash' });
        assert.equal(wrongTarget.error.code, '42P10');
        const { count } = await sdk.from('files').select('*', { count: 'exact', head: true });
        assert.equal(count, 1);
    });

    test('the registration procedure deduplicates by content', async () => {
        const { sdk, id } = await member(vault);
        const args = (name) => ({
            p_file_hash: 'ab'.repeat(32),
            p_original_filename: name,
            p_file_path: `${id}/mac/Laptop/${name}`,
            p_file_size: 12,
            p_mime_type: 'text/plain',
            p_device_name: 'Laptop',
            p_device_type: 'mac',
            p_folder_path: '/home/a/Sync',
        });
        const first = await sdk.rpc('register_or_deduplicate_file', args('one.txt'));
        assert.equal(first.error, null);
        assert.equal(first.data.deduplicated, false);
        assert.equal(first.data.file.original_filename, 'one.txt');
        const second = await sdk.rpc('register_or_deduplicate_file', args('copy.txt'));
        assert.equal(second.data.deduplicated, true);
        assert.equal(second.data.file.original_filename, 'one.txt');
        const unknown = await sdk.rpc('no_such_function', {});
        assert.equal(unknown.error.code, 'PGRST202');
    });

    test('each user reads and writes only their own rows', async () => {
        const ann = await member(vault);
        const bob = await member(vault);
        await ann.sdk.from('files').insert(row(ann.id, 'ann.txt', 1));
        await bob.sdk.from('files').insert(row(bob.id, 'bob.txt', 2));
        const seen = await bob.sdk.from('files').select('original_filename');
        assert.deepEqual(seen.data, [{ original_filename: 'bob.txt' }]);
        const filtered = await bob.sdk.from('files').select('*').eq('user_id', ann.id);
        assert.deepEqual(filtered.data, []);
        const planted = await bob.sdk.from('files').insert(row(ann.id, 'planted.txt', 3));
        assert.equal(planted.error.code, '42501');
        const anonymous = await vault.client().from('files').select('*');
        assert.equal(anonymous.error.code, 'PGRST301');
    });
});
