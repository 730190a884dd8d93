#pragma once
// The one-shot comparison of the GPU conversion with the CPU pipeline
// (area_scale, then bgra_to_nv12) on the image the GPU worked from: one
// "[gpu-check] " line with the mean and largest byte difference and the share
// of bytes more than 2 codes apart, for the Y plane and for the UV plane.
#include "capture/diagnostics.h"
#include "capture/gpu_conversion.h"
#include "sys/bytes.h"

namespace nimbra {

// `nv12` is the GPU's picture of `size` just produced from the image that
// read_back_bgra gives back. Never fails: a failed read-back is reported as
// the line "[gpu-check] {error}" and the check ends.
void gpu_check(GpuConversion& gpu, ByteView nv12, Size size, const DiagnosticSink& diagnostic);

}  // namespace nimbra
