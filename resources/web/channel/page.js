'use strict';
// Redraws the channel list from /channels.json every 5 s; texts go in as text, never as markup.
(function () {
  function liveFor(seconds) {
    const minutes = Math.floor(seconds / 60), hours = Math.floor(minutes / 60), days = Math.floor(hours / 24);
    if (days > 0) return days + ' {{t:days}} ' + (hours % 24) + ' {{t:hours}}';
    if (hours > 0) return hours + ' {{t:hours}} ' + (minutes % 60) + ' {{t:minutes}}';
    if (minutes > 0) return minutes + ' {{t:minutes}}';
    return '{{t:underAMinute}}';
  }
  function cell(row, text, className) {
    const td = row.insertCell();
    td.textContent = text;
    if (className) td.className = className;
    return td;
  }
  function link(parent, href, text, className, title) {
    const a = document.createElement('a');
    a.href = href;
    a.textContent = text;
    a.className = className;
    if (title) a.title = title;
    parent.appendChild(a);
    return a;
  }
  function draw(list) {
    const rows = document.getElementById('channel-rows');
    const body = document.createElement('tbody');
    body.id = 'channel-rows';
    for (const channel of list.channels) {
      const row = body.insertRow();
      row.dataset.channel = channel.id;
      cell(row, channel.name, 'name');
      cell(row, channel.description);
      cell(row, channel.keywords);
      cell(row, String(channel.viewersNow), 'number');
      cell(row, String(channel.viewsTotal), 'number');
      cell(row, liveFor(channel.liveSeconds));
      const watch = row.insertCell();
      link(watch, channel.watch, '{{t:watchInBrowser}}', 'watch', 'watch in the browser');
      if (channel.relay) {
        watch.appendChild(document.createTextNode(' · '));
        link(watch, channel.relay, '{{t:watchThroughRelay}}', 'relay', 'watch through the relay');
      }
      watch.appendChild(document.createTextNode(' · '));
      link(watch, channel.stream, '{{t:playerAddress}}', 'player');
      watch.appendChild(document.createTextNode(' '));
      const code = document.createElement('code');
      code.textContent = channel.stream;
      watch.appendChild(code);
      watch.appendChild(document.createTextNode(' · '));
      link(watch, channel.playlist, '{{t:playlist}}', 'playlist').download = 'channel-' + channel.id + '.asx';
      if (channel.relayOnly) {
        const note = document.createElement('p');
        note.className = 'relay-only';
        note.textContent = '{{t:relayOnly}}';
        watch.appendChild(note);
      }
    }
    rows.replaceWith(body);
    document.documentElement.dataset.updated = String(list.generatedAt);
    document.getElementById('summary').textContent = summaryText(list.channels.length);
  }
  function summaryText(count) {
    return count > 0 ? '{{t:channelsLive}}'.replace('%1', count) : '{{t:noChannels}}';
  }
  async function refresh() {
    try {
      const response = await fetch('/channels.json', { cache: 'no-store' });
      if (response.ok) draw(await response.json());
    } catch (error) {
      // The directory may be restarting: keep the list shown and try again.
    }
  }
  setInterval(refresh, 5000);
  refresh();
})();
