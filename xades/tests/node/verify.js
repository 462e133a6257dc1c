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
  const found = doc.getElementsByTagNameNS('http://www.w3.org/2000/09/xmldsig#', 'Signature');
  const all = [];
  for (let i = 0; i < found.length; i++) all.push(found[i]);
  let element = null;
  for (let i = 0; i < all.length; i++) if (all[i].getAttribute('Id') === id) element = all[i];
  if (element === null) {
    console.error('no signature ' + id);
    process.exit(2);
  }
  // The content this system signs lives in the Objects of the document's
  // first signature; xadesjs looks for reference targets outside every
  // Signature element (its guard against signature wrapping). So the other
  // signatures are renamed first: a rename changes no canonical form of what
  // they hold (their namespaces stay in scope).
  for (let i = all.length - 1; i >= 0; i--) {
    const other = all[i];
    if (other === element) continue;
    const renamed = doc.createElementNS(other.namespaceURI, (other.prefix ? other.prefix + ':' : '') + 'OtherSignature');
    for (let a = 0; a < other.attributes.length; a++) {
      const attr = other.attributes[a];
      renamed.setAttributeNS(attr.namespaceURI, attr.name, attr.value);
    }
    while (other.firstChild) renamed.appendChild(other.firstChild);
    other.parentNode.replaceChild(renamed, other);
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
