// The hosted service's official JavaScript SDK, unchanged, against orlavant-vault's storage
// bucket: upload, a duplicate refused, download, existence, a signed URL and listing a folder.
// The quota and one user kept out of another's objects are pinned by tst_vault_server.
import assert from 'node:assert/strict';
import { after, before, test } from 'node:test';

import { signedUpMember as member, startVault } from './vault.mjs';

let vault;
before(async () => { vault = await startVault(); });
after(() => vault?.stop());

test('storage: upload, refuse the same path, download, sign a URL, list a folder', async () => {
    const { id, bucket } = await member(vault);
    const put = (name, bytes) => bucket.upload(`${id}/${name}`, Buffer.from(bytes), { contentType: 'text/plain' });
    const { data, error } = await put('trip/beach.txt', 'sand and sea');
    assert.equal(error, null);
    assert.equal(data.fullPath, `orlavant-files/${id}/trip/beach.txt`);
    assert.equal((await put('trip/beach.txt', 'other bytes')).error.statusCode, '409');

    const download = await bucket.download(`${id}/trip/beach.txt`);
    assert.equal(await Buffer.from(await download.data.arrayBuffer()).toString(), 'sand and sea');
    assert.equal(download.data.type, 'text/plain');
    assert.deepEqual([(await bucket.exists(`${id}/trip/beach.txt`)).data, (await bucket.exists(`${id}/no.txt`)).data],
                     [true, false]);

    const signed = await bucket.createSignedUrl(`${id}/trip/beach.txt`, 60);
    const response = await fetch(signed.data.signedUrl);
    assert.deepEqual([response.status, await response.text()], [200, 'sand and sea']);

    for (const name of ['b.txt', 'a.txt', 'c.txt'])
        await put(name, name);
    const all = await bucket.list(id);
    assert.deepEqual(all.data.map((e) => [e.name, e.metadata?.size ?? null]),
                     [['a.txt', 5], ['b.txt', 5], ['c.txt', 5], ['trip', null]]);
    const page = await bucket.list(id, { limit: 2, offset: 1, sortBy: { column: 'name', order: 'desc' } });
    assert.deepEqual(page.data.map((e) => e.name), ['c.txt', 'b.txt']);
});
