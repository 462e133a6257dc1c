// Signs with xadesjs, enveloping: the Objects of a content file (children of
// its root element, each with an Id) go into the signature after the
// QualifyingProperties Object and are referenced by #Id.
// Usage: sign.js key.pk8 cert.der content.xml out.xml signature-id hash
// (hash: SHA-1 or SHA-256, for the references and the RSA signature).
// Exit 0: signed; 3: error.
'use strict';
const fs = require('fs');
const xmldom = require('@xmldom/xmldom');
const xpath = require('xpath');
const xadesjs = require('xadesjs');
const xmldsigjs = require('xmldsigjs');

// xmldsigjs has an xml-core copy of its own, which builds the Objects.
const xmldsigCore = require(require.resolve('xml-core', { paths: [require.resolve('xmldsigjs')] }));
for (const core of [xadesjs, xmldsigCore]) {
  core.setNodeDependencies({
    XMLSerializer: xmldom.XMLSerializer,
    DOMParser: xmldom.DOMParser,
    DOMImplementation: xmldom.DOMImplementation,
    xpath,
  });
}
xadesjs.Application.setEngine('NodeJS', globalThis.crypto);

(async () => {
  const [keyFile, certFile, contentFile, outFile, id, hash] = process.argv.slice(2);
  const algorithm = { name: 'RSASSA-PKCS1-v1_5', hash };
  const key = await globalThis.crypto.subtle.importKey(
    'pkcs8', fs.readFileSync(keyFile), algorithm, false, ['sign']);
  const cert = fs.readFileSync(certFile).toString('base64');

  const signed = new xadesjs.SignedXml();
  // The qualifying properties were made with a random signature Id; give
  // them the chosen one.
  signed.XmlSignature.Id = id;
  signed.Properties.Target = '#' + id;
  signed.Properties.SignedProperties.Id = 'SignedProperties-' + id;

  const content = xadesjs.Parse(fs.readFileSync(contentFile, 'utf8')).documentElement;
  const references = [];
  for (let node = content.firstChild; node; node = node.nextSibling) {
    if (node.nodeType !== 1) continue;
    signed.XmlSignature.ObjectList.Add(xmldsigjs.DataObject.LoadXml(node));
    references.push({ uri: '#' + node.getAttribute('Id'), hash });
  }
  await signed.Sign(algorithm, key, xadesjs.Parse('<empty/>'), {
    references,
    x509: [cert],
    signingCertificate: { certificate: cert, digestAlgorithm: hash },
  });
  fs.writeFileSync(outFile, '<?xml version="1.0" encoding="UTF-8"?>\n' + signed.toString());
})().catch((e) => {
  console.error((e && e.stack) || String(e));
  process.exit(3);
});
