// The popup: the versions a user or a helpdesk needs, and what to install when the host is
// missing. It asks the host only for its version, which touches no token and raises no dialog.
const api = globalThis.browser ?? globalThis.chrome;
const show = (id, text, bad = false) => {
  const element = document.getElementById(id);
  element.textContent = text;
  element.classList.toggle('bad', bad);
};

show('extension', api.runtime.getManifest().version);
api.runtime.sendMessage({ operation: 'status' }).then((reply) => {
  if (reply?.ok) {
    show('host', `found (${reply.result.host})`);
    show('library', reply.result.library);
    return;
  }
  if (reply?.error?.code === 'host_unavailable') {
    const host = document.getElementById('host');
    host.classList.add('bad');
    host.textContent = 'not found. Install it (Debian, Ubuntu): ';
    const line = document.createElement('code');
    line.textContent = 'sudo apt install ./npcorvane_*.deb';
    host.append(line, document.createElement('br'),
                'On Windows run npcorvane-setup.exe. Details: docs/install.md, installed as /usr/share/doc/npcorvane/install.md.');
    show('library', 'unknown until the host is found');
    return;
  }
  show('host', `found, but it failed: ${reply?.error?.message ?? 'no answer'}`, true);
  show('library', 'unknown');
});
