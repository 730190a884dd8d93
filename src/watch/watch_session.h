#pragma once
// Watch mode: packets in, one decoded RGBA picture record out per picture,
// until the input ends between packets or something fails.
#include "cli/command_line.h"
#include "codec/h264_decoder.h"
#include "sys/result.h"
#include "wire/input_stream.h"
#include "wire/output_stream.h"

namespace nimbra {

// Nothing is opened when the requested size is refused ("invalid size").
Status run_watch_session(const WatchRequest& request, InputStream& in, OutputStream& out,
                         const DecoderFactory& open_decoder);

}  // namespace nimbra
