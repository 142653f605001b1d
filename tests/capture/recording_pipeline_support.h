#pragma once
// The recording pipeline lives with the benchmark that drives it; capture
// tests that record through it include it from here.
#include "../../bench/recording_pipeline.h"
