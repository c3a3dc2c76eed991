// The words every sample uses for the same refusal or failure, so that one
// cause reads alike whichever sample the user exports with. Code page 932,
// as the samples' sources are compiled. A sample's own words (its limits,
// its encoder's failures) stay in its own file.
#pragma once

#include "samples/common/export_plan.h"

namespace sample_text {

// Neither the editor nor the settings name a file.
extern const char kNoPathMessage[];
extern const char kNoVideoMessage[];
extern const char kVideoFormatMessage[];
extern const char kAudioFormatMessage[];
extern const char kMemoryMessage[];
// The editor gave no frame.
extern const char kFrameMessage[];
// The output file cannot be created.
extern const char kCreateMessage[];
// The name the file is written under until it is complete would be too long.
extern const char kPathTooLongMessage[];

// The words for a refused plan that every sample words alike; nullptr for
// kNone and for the refusals each sample words itself (kOddSize, kTooLarge).
const char* PlanErrorMessage(sample_plan::PlanError error);

}  // namespace sample_text
