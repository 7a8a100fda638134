// Orlavant web application: what every page shares. The pages run in two setups: from disk
// inside the desktop client (file://, no backend, the native bridge present) and served by a
// vault under /web/ (a backend on the same origin, the bridge present only inside the client).
(function () {
    'use strict';

    var TOKEN_KEY = 'orlavant_token';
    var HOUSEHOLD_KEY = 'orlavant_household';
    var served = location.protocol === 'http:' || location.protocol === 'https:';

    function nativeBridge() {
        var w = window.webkit;
        return (w && w.messageHandlers && w.messageHandlers.orlavantMac) || null;
    }

    // Returns false when no desktop client hosts the page.
    function postNative(body) {
        var bridge = nativeBridge();
        if (!bridge)
            return false;
        bridge.postMessage(body);
        return true;
    }

    function token() {
        return localStorage.getItem(TOKEN_KEY);
    }

    function household() {
        try {
            return JSON.parse(localStorage.getItem(HOUSEHOLD_KEY) || 'null');
        } catch (e) {
            return null;
        }
    }

    function firstString() {
        for (var i = 0; i < arguments.length; i++) {
            if (typeof arguments[i] === 'string' && arguments[i])
                return arguments[i];
        }
        return null;
    }

    // Backends answer in a few shapes; the token may sit at the top, under "tokens" or "token".
    function tokenFrom(data) {
        if (!data || typeof data !== 'object')
            return null;
        return firstString(data.access_token, data.tokens && data.tokens.access_token,
                           data.token && data.token.access_token, data.token);
    }

    function householdFrom(data) {
        var user = (data && data.user) || {};
        var h = (data && data.household) || user.household || {};
        var id = firstString(h.id, data && data.household_id, user.household_id);
        var name = firstString(h.name, data && data.household_name, user.household_name);
        return id || name ? { id: id, name: name } : null;
    }

    function saveLogin(data) {
        var t = tokenFrom(data);
        if (!t)
            throw new Error('The server did not send a sign-in token.');
        var h = householdFrom(data);
        localStorage.setItem(TOKEN_KEY, t);
        if (h)
            localStorage.setItem(HOUSEHOLD_KEY, JSON.stringify(h));
        else
            localStorage.removeItem(HOUSEHOLD_KEY);
        postNative({ action: 'loginSuccess', token: t, household: { id: h ? h.id : null } });
    }

    // After the household changed (joined, left): the one the page shows from now on.
    function rememberHousehold(data) {
        var h = householdFrom(data);
        if (h)
            localStorage.setItem(HOUSEHOLD_KEY, JSON.stringify(h));
    }

    function clearLogin() {
        localStorage.removeItem(TOKEN_KEY);
        localStorage.removeItem(HOUSEHOLD_KEY);
    }

    // Calls the backend that served this page. Pages opened from disk have none.
    function api(path, options) {
        options = options || {};
        if (!served)
            return Promise.reject(new Error('No vault server is reachable from this page (it was opened from disk).'));
        var headers = { 'Accept': 'application/json' };
        if (options.body !== undefined)
            headers['Content-Type'] = 'application/json';
        if (options.auth !== false && token())
            headers['Authorization'] = 'Bearer ' + token();
        return fetch(path, {
            method: options.method || 'GET',
            headers: headers,
            body: options.body === undefined ? undefined : JSON.stringify(options.body)
        }).then(function (response) {
            return response.text().then(function (text) {
                var data = null;
                try {
                    data = text ? JSON.parse(text) : null;
                } catch (e) {
                    data = null;
                }
                if (!response.ok) {
                    var message = data && firstString(data.message, data.detail, data.error);
                    throw new Error(message || 'The server answered with status ' + response.status + '.');
                }
                return data;
            });
        });
    }

    function filesFrom(data) {
        if (Array.isArray(data))
            return data;
        if (data && Array.isArray(data.files))
            return data.files;
        if (data && Array.isArray(data.items))
            return data.items;
        return [];
    }

    function fileName(file) {
        return firstString(file.original_filename, file.filename, file.name, file.file_name) || 'file';
    }

    function formatBytes(bytes) {
        var n = Number(bytes) || 0;
        var units = ['B', 'KB', 'MB', 'GB', 'TB'];
        var i = 0;
        while (n >= 1024 && i < units.length - 1) {
            n /= 1024;
            i++;
        }
        return (i === 0 ? n : n.toFixed(1)) + ' ' + units[i];
    }

    // Inside the client the native side saves into Downloads; a plain browser fetches the bytes
    // itself so that the bearer token goes along.
    function downloadFile(url, name) {
        if (postNative({ action: 'downloadFile', url: url, filename: name }))
            return Promise.resolve();
        var headers = token() ? { 'Authorization': 'Bearer ' + token() } : {};
        return fetch(url, { headers: headers }).then(function (response) {
            if (!response.ok)
                throw new Error('The download failed with status ' + response.status + '.');
            return response.blob();
        }).then(function (blob) {
            var link = document.createElement('a');
            link.href = URL.createObjectURL(blob);
            link.download = name;
            document.body.appendChild(link);
            link.click();
            setTimeout(function () {
                URL.revokeObjectURL(link.href);
                link.remove();
            }, 1000);
        });
    }

    function showNotice(element, text, isError) {
        element.textContent = text;
        element.className = 'notice show' + (isError ? ' error' : '');
    }

    function el(tag, className, text) {
        var node = document.createElement(tag);
        if (className)
            node.className = className;
        if (text !== undefined && text !== null)
            node.textContent = String(text);
        return node;
    }

    window.Orlavant = {
        served: served,
        nativeBridge: nativeBridge,
        postNative: postNative,
        token: token,
        household: household,
        saveLogin: saveLogin,
        rememberHousehold: rememberHousehold,
        clearLogin: clearLogin,
        api: api,
        filesFrom: filesFrom,
        fileName: fileName,
        formatBytes: formatBytes,
        downloadFile: downloadFile,
        showNotice: showNotice,
        el: el
    };
})();
