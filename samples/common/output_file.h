// The output file of an export: which file the editor asks for, and, for the
// samples that write under a partial name first (sample_plan::PartialPath),
// the checks before anything is written and the final name at the end.
#pragma once

#include <windows.h>

#include <string>

#include "plugin/output_plugin.h"

namespace sample_output {

// The file the editor names for the export or, when it names none, the
// sample's own setting: code page 932, empty when neither names one.
const char* OutputPathSetting(const OutputInfo& info, const char* setting);

// The files of an export written under a partial name first.
struct PartialOutput {
    std::wstring path;     // the file asked for, as a full path: the messages name it whole
    std::wstring partial;  // where the export is written until it is complete
};

// What such a sample checks before it writes anything, in this order: that
// a file is named (by the editor, or by `setting`), that the sample's plan
// of the export holds (`plan_refusal` is the words for why it does not,
// nullptr when it does), and that the partial name fits MAX_PATH (else
// neither the rename nor the clean-up could reach it). Shows the first
// that fails in a message captioned `caption` (code page 932) and returns
// false.
bool ChooseFiles(const OutputInfo& info, const char* setting, const char* plan_refusal, const char* caption,
                 PartialOutput* files);

// Gives the complete file its final name, in place of any older file of that
// name. When that fails the file keeps its partial name (a finished export
// may have taken hours) and a message captioned `caption` tells the user
// both names and the system's reason; false then.
bool GiveFinalName(const PartialOutput& files, const char* caption);

}  // namespace sample_output
