// A fresh orlavant-vault (the binary named by ORLAVANT_VAULT_BINARY) on an ephemeral loopback
// port over a temporary data folder, and an SDK client for it.
import { spawn } from 'node:child_process';
import { once } from 'node:events';
import { mkdtemp, rm } from 'node:fs/promises';
import { tmpdir } from 'node:os';
import { join } from 'node:path';

import { createClient } from '@supabase/supabase-js';
import ws from 'ws';

const anonKey = 'sdk-test-anon-key';

export const password = 'correct horse battery';
let members = 0;
export const newEmail = () => `member-${process.pid}-${++members}@example.org`;

// A new account signed up through the SDK: its client, address, user id, session and a client for
// its bucket.
export async function signedUpMember(vault) {
    const [sdk, email] = [vault.client(), newEmail()];
    const { data, error } = await sdk.auth.signUp({ email, password });
    if (error)
        throw error;
    return { sdk, email, id: data.user.id, session: data.session, bucket: sdk.storage.from('orlavant-files') };
}

export async function startVault(extraArgs = []) {
    const binary = process.env.ORLAVANT_VAULT_BINARY;
    if (!binary)
        throw new Error('ORLAVANT_VAULT_BINARY must name the orlavant-vault binary');
    const dir = await mkdtemp(join(tmpdir(), 'orlavant-vault-sdk-'));
    const child = spawn(binary,
                        ['--listen', '127.0.0.1:0', '--data', join(dir, 'data'), '--anon-key', anonKey, ...extraArgs],
                        { stdio: ['ignore', 'pipe', 'pipe'] });
    // Read everything the server writes, for as long as it runs, so a full pipe never stalls it.
    let output = '';
    const exited = once(child, 'exit');
    const url = await new Promise((resolve, reject) => {
        const read = (chunk) => {
            output += chunk;
            const listening = /listening on (http:\/\/127\.0\.0\.1:\d+)/.exec(output);
            if (listening)
                resolve(listening[1]);
        };
        child.stdout.on('data', read);
        child.stderr.on('data', read);
        exited.then(([code]) => reject(new Error(`orlavant-vault exited (${code}) before listening:\n${output}`)));
    });
    return {
        url,
        // The SDK as an application would create it; on Node 20 its realtime part needs `ws`.
        client: () => createClient(url, anonKey, { realtime: { transport: ws } }),
        async stop() {
            child.kill('SIGTERM');
            await exited;
            await rm(dir, { recursive: true, force: true });
        },
    };
}
