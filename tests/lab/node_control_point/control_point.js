// A control point nobody here wrote (upnp-device-client, from the npm
// registry) against the relay: it reads the device description, browses
// the root and one group, subscribes to ContentDirectory events and keeps
// the subscription for a while, renewing it on its own schedule, then
// unsubscribes. One line per finding on standard output:
//
//   device UDN FRIENDLY-NAME
//   container ID CHILD-COUNT TITLE          (the root's children)
//   item ID URL TITLE                       (the group's children)
//   res URL                                 (a stream to play, at once)
//   subscribe renewal|new STATUS SID TIMEOUT (each SUBSCRIBE, at the end)
//   notify SID SEQ NT NTS METHOD            (each request at the callback)
//   notify-body BODY                        (and its body)
//   event JSON                              (each event the client took for
//                                            its subscription's)
//   unsubscribe STATUS
//   error TEXT
//
// usage: node control_point.js DESCRIPTION-URL GROUP-TITLE SECONDS ASKED-SECONDS
'use strict';

const http = require('http');

const [descriptionUrl, groupTitle, seconds, askedSeconds] = process.argv.slice(2);

// The client's requests and its event server, seen from here. It always
// asks for 300 s, so its first renewal would wait 270 s; asking for less
// has it follow what the relay grants instead.
const subscribes = [];
const notifies = [];
const originalRequest = http.request;
http.request = function (options, callback) {
  const req = originalRequest.call(http, options, callback);
  if (options.method === 'SUBSCRIBE') {
    req.setHeader('TIMEOUT', 'Second-' + askedSeconds);
    const entry = { renewal: options.headers.SID !== undefined };
    subscribes.push(entry);
    req.on('response', (res) => {
      entry.status = res.statusCode;
      entry.sid = res.headers.sid;
      entry.timeout = res.headers.timeout;
    });
  } else if (options.method === 'UNSUBSCRIBE') {
    req.on('response', (res) => {
      console.log('unsubscribe ' + res.statusCode);
      finish();
    });
  }
  return req;
};
const originalCreateServer = http.createServer;
http.createServer = function (...args) {
  const server = originalCreateServer.apply(http, args);
  server.on('request', (req) => {
    const notify = [req.method, req.headers.sid, req.headers.seq, req.headers.nt, req.headers.nts];
    notifies.push(notify);
    let body = '';
    req.on('data', (chunk) => (body += chunk));
    req.on('end', () => notify.push(body));
  });
  return server;
};

const DeviceClient = require('upnp-device-client');
const et = require('elementtree');

function fail(text) {
  console.log('error ' + text);
  process.exit(1);
}

// The children of a DIDL-Lite document: tag, attributes and child texts.
function didlChildren(didl) {
  return et
    .parse(didl)
    .getroot()
    .getchildren()
    .map((object) => {
      const texts = {};
      for (const child of object.getchildren()) {
        if (texts[child.tag] === undefined) texts[child.tag] = child.text;
      }
      return { tag: object.tag, id: object.get('id'), childCount: object.get('childCount'), texts };
    });
}

function browse(objectId, done) {
  client.callAction(
    'ContentDirectory',
    'Browse',
    {
      ObjectID: objectId,
      BrowseFlag: 'BrowseDirectChildren',
      Filter: '*',
      StartingIndex: 0,
      RequestedCount: 0,
      SortCriteria: '',
    },
    (err, result) => {
      if (err) fail('Browse ' + objectId + ': ' + err.message);
      done(didlChildren(result.Result));
    },
  );
}

const client = new DeviceClient(descriptionUrl);
client.on('error', (err) => console.log('error ' + err.message + ' ' + (err.statusCode || '')));

const events = [];
function listener(event) {
  events.push(event);
}

let finished = false;
function finish() {
  if (finished) return;
  finished = true;
  for (const s of subscribes) {
    console.log(['subscribe', s.renewal ? 'renewal' : 'new', s.status, s.sid, s.timeout].join(' '));
  }
  for (const n of notifies) {
    console.log(['notify', ...n.slice(1, 5), n[0]].join(' '));
    console.log('notify-body ' + n[5]);
  }
  for (const e of events) console.log('event ' + JSON.stringify(e));
  process.exit(0);
}

client.getDeviceDescription((err, description) => {
  if (err) fail('description: ' + err.message);
  console.log('device ' + description.UDN + ' ' + description.friendlyName);
  browse('0', (containers) => {
    for (const c of containers) {
      console.log(['container', c.id, c.childCount, c.texts['dc:title']].join(' '));
    }
    const group = containers.find((c) => c.texts['dc:title'] === groupTitle);
    if (!group) fail('no group ' + groupTitle);
    browse(group.id, (items) => {
      for (const i of items) console.log(['item', i.id, i.texts.res, i.texts['dc:title']].join(' '));
      if (items.length > 0) console.log('res ' + items[0].texts.res);
      client.subscribe('ContentDirectory', listener);
      setTimeout(() => {
        client.unsubscribe('ContentDirectory', listener);
        // An UNSUBSCRIBE that is never answered still ends the run.
        setTimeout(finish, 5000);
      }, Number(seconds) * 1000);
    });
  });
});
