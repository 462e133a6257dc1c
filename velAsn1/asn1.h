// The classes eSNACC generates from our ASN.1 modules (namespace SNACC), and
// the few calls every user of them needs.
//
// Decoding only: the runtime's encoder sorts SET OF, so a received message
// is never re-encoded with it; bytes the system writes come from der::Writer.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "asn-incl.h"
#include "cms.h"
#include "ess.h"
#include "etsi-es.h"
#include "pkix-explicit.h"
#include "pkix-implicit.h"
#include "tsp.h"

namespace vel::asn1 {

// Registers the types that ANY fields are decoded as: the content of a
// ContentInfo by its content type (signed-data, data). An ANY whose type is
// not registered keeps its bytes, and holding indefinite-length BER it does
// not decode at all. The runtime keeps the registry in unguarded globals:
// call this once at start-up, before any other thread starts. Later calls do
// nothing.
void RegisterAnyTypes();

// Decodes exactly one BER/DER element (the whole input) into `out`. Never
// throws: false when the bytes do not decode, hold more than one element,
// nest deeper than 64 levels, or have an element reaching outside its parent.
bool Decode(std::span<const uint8_t> bytes, SNACC::AsnType& out);

// The bytes of an ANY that was kept undecoded (its whole encoding, tag and
// length included); false for a decoded (registered) or empty ANY.
bool AnyBytes(const SNACC::AsnAny& any, std::vector<uint8_t>* out);

}  // namespace vel::asn1
