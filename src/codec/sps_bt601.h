#pragma once

#include "sys/bytes.h"

namespace nimbra {

// Every picture is shown through BT.601 limited-range formulas with the left
// chroma sample of each pair. A decoder that trusts the stream's colour
// signalling (or guesses it from the picture size) may convert its pictures
// towards another matrix, range or chroma siting before handing them out; one
// told the stream already is what the formulas assume has nothing to convert.
//
// Returns the Annex-B access unit with the video signal description of every
// 4:2:0 sequence parameter set stating BT.601 (primaries, transfer and matrix
// 6), limited range and centred chroma; all other bytes, and parameter sets
// that cannot be parsed, are copied unchanged. Decoded samples never depend
// on these fields.
Bytes label_sps_bt601(ByteView unit);

}  // namespace nimbra
