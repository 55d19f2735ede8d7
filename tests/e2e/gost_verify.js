// Verifies a GOST R 34.10-2012 signature with node-gost-crypto, an implementation that shares
// no code with OpenSSL; the black-box tests run it beside `openssl cms -verify`.
//
//   node gost_verify.js <node_modules folder> cms <signature.der> <content> <certificate.der>
//       a detached CMS SignedData with one signer, the certificate's holder: its signature
//       over the DER of the signed attributes, its content type (data) and message digest
//       (the content's digest), and digest and signature algorithms that fit the key
//   node gost_verify.js <node_modules folder> raw <signature> <content> <certificate.der>
//       a raw signature of the content: s then r, each big-endian
//
// Prints "verified" and ends with 0, or prints why not and ends with 1 (2: wrong arguments).
'use strict';

const fs = require('fs');
const path = require('path');

const KEY_SIZES = {'1.2.643.7.1.1.1.1': 256, '1.2.643.7.1.1.1.2': 512};
const DIGESTS = {256: '1.2.643.7.1.1.2.2', 512: '1.2.643.7.1.1.2.3'};
const SIGNATURES_WITH_DIGEST = {256: '1.2.643.7.1.1.3.2', 512: '1.2.643.7.1.1.3.3'};
// The parameter sets by their OIDs, as the library names them.
const CURVES = {
  '1.2.643.2.2.35.1': 'S-256-A', // CryptoPro A
  '1.2.643.2.2.35.2': 'S-256-B',
  '1.2.643.2.2.35.3': 'S-256-C',
  '1.2.643.2.2.36.0': 'X-256-A',
  '1.2.643.2.2.36.1': 'X-256-B',
  '1.2.643.7.1.2.1.2.1': 'T-512-A',
  '1.2.643.7.1.2.1.2.2': 'T-512-B',
};
const ID_DATA = '1.2.840.113549.1.7.1';
const ID_SIGNED_DATA = '1.2.840.113549.1.7.2';
const ID_CONTENT_TYPE = '1.2.840.113549.1.9.3';
const ID_MESSAGE_DIGEST = '1.2.840.113549.1.9.4';

class Refused extends Error {}

function refuse(why) {
  throw new Refused(why);
}

// One DER element at `at` of `bytes`: its tag, its whole encoding and its contents.
function element(bytes, at = 0) {
  if (at + 2 > bytes.length) refuse('truncated DER');
  const tag = bytes[at];
  let length = bytes[at + 1];
  let start = at + 2;
  if (length & 0x80) {
    const count = length & 0x7f;
    if (count === 0 || count > 4 || start + count > bytes.length) refuse('bad DER length');
    length = 0;
    for (let i = 0; i < count; ++i) length = length * 256 + bytes[start + i];
    start += count;
  }
  const end = start + length;
  if (end > bytes.length) refuse('truncated DER');
  return {tag, der: bytes.subarray(at, end), body: bytes.subarray(start, end), end};
}

// The elements inside a constructed element, each optionally checked for its tag.
function children(parent, ...tags) {
  const list = [];
  for (let at = 0; at < parent.body.length;) {
    const child = element(parent.body, at);
    list.push(child);
    at = child.end;
  }
  tags.forEach((tag, i) => {
    if (tag !== undefined && (!list[i] || list[i].tag !== tag)) {
      refuse(`expected tag 0x${tag.toString(16)} at item ${i}`);
    }
  });
  return list;
}

function oid(e) {
  if (e.tag !== 0x06) refuse('expected an OBJECT IDENTIFIER');
  const b = e.body;
  const arcs = [];
  let value = 0;
  for (const byte of b) {
    value = value * 128 + (byte & 0x7f);
    if (!(byte & 0x80)) {
      arcs.push(value);
      value = 0;
    }
  }
  const first = arcs.shift();
  const head = first < 80 ? [Math.floor(first / 40), first % 40] : [2, first - 80];
  return [...head, ...arcs].join('.');
}

function equal(a, b) {
  return Buffer.compare(Buffer.from(a), Buffer.from(b)) === 0;
}

function arrayBuffer(bytes) {
  return Uint8Array.from(bytes).buffer;
}

// The GOST key of a DER certificate: its size, parameter set, public key bytes, issuer and
// serial number.
function certificateKey(der) {
  const [tbs] = children(element(der), 0x30);
  const fields = children(tbs);
  const at = fields[0].tag === 0xa0 ? 1 : 0;
  const [serial, , issuer, , , spki] = fields.slice(at);
  const [algorithm, bits] = children(spki, 0x30, 0x03);
  const [keyOid, parameters] = children(algorithm, 0x06, 0x30);
  const size = KEY_SIZES[oid(keyOid)];
  if (!size) refuse(`not a GOST R 34.10-2012 key: ${oid(keyOid)}`);
  const curveOid = oid(children(parameters, 0x06)[0]);
  const curve = CURVES[curveOid];
  if (!curve) refuse(`unknown parameter set ${curveOid}`);
  // The BIT STRING holds an OCTET STRING: x then y, each little-endian.
  const point = element(bits.body.subarray(1));
  if (point.tag !== 0x04 || point.body.length !== size / 4) refuse('bad public key');
  return {size, curve, point: point.body, issuer: issuer.der, serial: serial.der};
}

function digest(size, bytes) {
  return new Uint8Array(
      gost.gostEngine.getGostDigest({name: 'GOST R 34.11', version: 2012, length: size})
          .digest(arrayBuffer(bytes)));
}

// Whether `signature` (s then r, big-endian) signs `bytes` with the key.
function signatureVerifies(key, signature, bytes) {
  if (signature.length !== key.size / 4) refuse(`a signature of ${signature.length} bytes`);
  const signer = gost.gostEngine.getGostSign({
    name: 'GOST R 34.10', version: 2012, length: key.size, namedCurve: key.curve,
    hash: {name: 'GOST R 34.11'}, procreator: 'CP'});
  return signer.verify(arrayBuffer(key.point), arrayBuffer(signature), arrayBuffer(bytes));
}

function verifyCms(key, der, content) {
  const info = children(element(der), 0x06, 0xa0);
  if (oid(info[0]) !== ID_SIGNED_DATA) refuse('not a SignedData');
  const signedData = element(info[1].body);
  const parts = children(signedData, 0x02, 0x31, 0x30);
  const encapsulated = children(parts[2], 0x06);
  if (oid(encapsulated[0]) !== ID_DATA) refuse('the content is not data');
  if (encapsulated.length !== 1) refuse('the content is not detached');
  const signerInfos = children(parts[parts.length - 1]);
  if (parts[parts.length - 1].tag !== 0x31 || signerInfos.length !== 1) {
    refuse('expected one SignerInfo');
  }
  const [, sid, digestAlgorithm, attributes, signatureAlgorithm, signature] =
      children(signerInfos[0], 0x02, 0x30, 0x30, 0xa0, 0x30, 0x04);

  const [sidIssuer, sidSerial] = children(sid, 0x30, 0x02);
  if (!equal(sidIssuer.der, key.issuer) || !equal(sidSerial.der, key.serial)) {
    refuse('the signer is not the certificate\'s holder');
  }
  const digestOid = oid(children(digestAlgorithm, 0x06)[0]);
  if (digestOid !== DIGESTS[key.size]) refuse(`digest ${digestOid} for a ${key.size}-bit key`);
  const signatureOid = oid(children(signatureAlgorithm, 0x06)[0]);
  const keyOid = Object.keys(KEY_SIZES).find((k) => KEY_SIZES[k] === key.size);
  if (signatureOid !== keyOid && signatureOid !== SIGNATURES_WITH_DIGEST[key.size]) {
    refuse(`signature algorithm ${signatureOid} for a ${key.size}-bit key`);
  }

  const values = {};
  for (const attribute of children(attributes)) {
    const [type, set] = children(attribute, 0x06, 0x31);
    const inner = children(set);
    if (inner.length !== 1) refuse('an attribute without exactly one value');
    values[oid(type)] = inner[0];
  }
  const contentType = values[ID_CONTENT_TYPE];
  if (!contentType || oid(contentType) !== ID_DATA) refuse('no content type of data');
  const messageDigest = values[ID_MESSAGE_DIGEST];
  if (!messageDigest || messageDigest.tag !== 0x04) refuse('no message digest');
  if (!equal(messageDigest.body, digest(key.size, content))) refuse('message digest mismatch');

  // The signature covers the attributes' DER with the SET OF tag in place of [0].
  const signed = Uint8Array.from(attributes.der);
  signed[0] = 0x31;
  if (!signatureVerifies(key, signature.body, signed)) refuse('signature mismatch');
}

const [moduleFolder, mode, signaturePath, contentPath, certificatePath] = process.argv.slice(2);
if (!certificatePath || !['cms', 'raw'].includes(mode)) {
  console.error('usage: node gost_verify.js <node_modules folder> cms|raw <signature> ' +
      '<content> <certificate.der>');
  process.exit(2);
}
const gost = require(path.join(moduleFolder, 'node-gost-crypto'));
try {
  const key = certificateKey(fs.readFileSync(certificatePath));
  const signature = fs.readFileSync(signaturePath);
  const content = fs.readFileSync(contentPath);
  if (mode === 'cms') {
    verifyCms(key, signature, content);
  } else if (!signatureVerifies(key, signature, content)) {
    refuse('signature mismatch');
  }
  console.log('verified');
} catch (error) {
  if (!(error instanceof Refused)) throw error;
  console.log(`refused: ${error.message}`);
  process.exit(1);
}
