// Verifies the signature with the given Id in an XML file with xadesjs, the
// key taken from its KeyInfo certificate. Exit 0: valid; 1: invalid; 2, 3: error.
'use strict';
const fs = require('fs');
const xmldom = require('@xmldom/xmldom');
const xpath = require('xpath');
const xadesjs = require('xadesjs');

xadesjs.setNodeDependencies({
  XMLSerializer: xmldom.XMLSerializer,
  DOMParser: xmldom.DOMParser,
  DOMImplementation: xmldom.DOMImplementation,
  xpath,
});
xadesjs.Application.setEngine('NodeJS', globalThis.crypto);

(async () => {
  const [file, id] = process.argv.slice(2);
  const doc = xadesjs.Parse(fs.readFileSync(file, 'utf8'));
  const all = doc.getElementsByTagNameNS('http://www.w3.org/2000/09/xmldsig#', 'Signature');
  let element = null;
  for (let i = 0; i < all.length; i++) if (all[i].getAttribute('Id') === id) element = all[i];
  if (element === null) {
    console.error('no signature ' + id);
    process.exit(2);
  }
  const signed = new xadesjs.SignedXml(doc);
  signed.LoadXml(element);
  const ok = await signed.Verify();
  console.log(ok ? 'valid' : 'invalid');
  process.exit(ok ? 0 : 1);
})().catch((e) => {
  console.error((e && e.stack) || String(e));
  process.exit(3);
});
