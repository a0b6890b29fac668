// The floor's side of the browser benchmark: post a string, wait for the one answer. Nothing is
// decoded or built here, so what it measures is the browser's own cost of carrying the bytes.

export function floorLink(port) {
  let waiting = null;
  port.onMessage.addListener((message) => {
    const resolve = waiting;
    waiting = null;
    resolve?.(message);
  });
  port.onDisconnect.addListener(() => waiting?.(null));
  return (text) => new Promise((resolve) => {
    waiting = resolve;
    port.postMessage(text);
  });
}
