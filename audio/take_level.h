#pragma once

#include "audio/sample_buffer.h"

// True when every sample of the take lies within +-0.001 of zero (a peak below about -60 dBFS): a take
// that heard nothing, as from a muted or wrong input device. NaN samples count as silence. Main thread.
bool is_silent(const SampleBuffer& recorded_samples);
