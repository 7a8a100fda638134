// The hosted service's official JavaScript SDK, unchanged, against orlavant-vault's storage
// bucket: upload, a duplicate refused, download, existence, a signed URL, listing a folder, the
// household quota, and one user kept out of another's objects.
import assert from 'node:assert/strict';
import { after, before, describe, test } from 'node:test';

import { signedUpMember as member, startVault } from './vault.mjs';

const text = async (blob) => Buffer.from(await blob.arrayBuffer()).toString();

describe('storage', () => {
    let vault;
    before(async () => { vault = await startVault(['--quota', '4K']); });
    after(() => vault?.stop());

    test('upload, refuse the same path again, download, check existence', async () => {
        const { id, bucket } = await member(vault);
        const path = `${id}/photos/beach.txt`;
        const { data, error } = await bucket.upload(path, Buffer.from('sand and sea'), { contentType: 'text/plain' });
        assert.equal(error, null);
        assert.equal(data.path, path);
        assert.equal(data.fullPath, `orlavant-files/${path}`);
        assert.match(data.id, /^[0-9a-f-]{36}$/);

        const again = await bucket.upload(path, Buffer.from('other bytes'), { contentType: 'text/plain' });
        assert.equal(again.data, null);
        assert.equal(again.error.status, 400);
        assert.equal(again.error.statusCode, '409');

        const download = await bucket.download(path);
        assert.equal(download.error, null);
        assert.equal(await text(download.data), 'sand and sea');
        assert.equal(download.data.type, 'text/plain');
        assert.equal((await bucket.exists(path)).data, true);
        assert.equal((await bucket.exists(`${id}/photos/nothing.txt`)).data, false);
    });

    test('a signed URL downloads without a session until it expires', async () => {
        const { id, bucket } = await member(vault);
        const path = `${id}/shared/recipe.txt`;
        await bucket.upload(path, Buffer.from('two eggs'), { contentType: 'text/plain' });
        const { data, error } = await bucket.createSignedUrl(path, 60);
        assert.equal(error, null);
        assert.ok(data.signedUrl.startsWith(`${vault.url}/storage/v1/object/sign/orlavant-files/`));
        const response = await fetch(data.signedUrl);
        assert.equal(response.status, 200);
        assert.equal(await response.text(), 'two eggs');
        const forged = await fetch(data.signedUrl.replace(/token=\d+/, 'token=1'));
        assert.equal(forged.status, 400);
    });

    test('a folder lists its objects and the folders below, sorted and paged', async () => {
        const { id, bucket } = await member(vault);
        for (const name of ['b.txt', 'a.txt', 'trip/day1.txt', 'trip/day2.txt', 'c.txt'])
            await bucket.upload(`${id}/${name}`, Buffer.from(name), { contentType: 'text/plain' });
        const all = await bucket.list(id);
        assert.equal(all.error, null);
        assert.deepEqual(all.data.map((e) => e.name), ['a.txt', 'b.txt', 'c.txt', 'trip']);
        const folder = all.data.find((e) => e.name === 'trip');
        assert.equal(folder.id, null);
        const file = all.data.find((e) => e.name === 'a.txt');
        assert.equal(file.metadata.size, 5);
        assert.equal(file.metadata.mimetype, 'text/plain');

        const page = await bucket.list(id, { limit: 2, offset: 1, sortBy: { column: 'name', order: 'desc' } });
        assert.deepEqual(page.data.map((e) => e.name), ['c.txt', 'b.txt']);
        const inside = await bucket.list(`${id}/trip`);
        assert.deepEqual(inside.data.map((e) => e.name), ['day1.txt', 'day2.txt']);
        const found = await bucket.list(id, { search: 'b' });
        assert.deepEqual(found.data.map((e) => e.name), ['b.txt']);
    });

    test('an upload beyond the household quota is refused in storage\'s shape', async () => {
        const { id, bucket } = await member(vault);
        const { error } = await bucket.upload(`${id}/big.bin`, Buffer.alloc(5000, 1),
                                              { contentType: 'application/octet-stream' });
        assert.equal(error.status, 400);
        assert.equal(error.statusCode, '413');
        assert.match(error.message, /quota/);
        assert.equal((await bucket.exists(`${id}/big.bin`)).data, false);
    });

    test('one user cannot upload into, download from or list another\'s folder', async () => {
        const owner = await member(vault);
        const stranger = await member(vault);
        const path = `${owner.id}/private.txt`;
        await owner.bucket.upload(path, Buffer.from('mine'), { contentType: 'text/plain' });

        const download = await stranger.bucket.download(path);
        assert.equal(download.data, null);
        assert.equal(download.error.status, 400);
        const upload = await stranger.bucket.upload(`${owner.id}/planted.txt`, Buffer.from('x'));
        assert.equal(upload.error.statusCode, '403');
        assert.deepEqual((await stranger.bucket.list(owner.id)).data, []);
        const signed = await stranger.bucket.createSignedUrl(path, 60);
        assert.equal(signed.data, null);
        assert.equal((await owner.bucket.list(owner.id)).data.length, 1);
    });
});
