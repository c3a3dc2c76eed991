#include "samples/common/output_file.h"

#include <cstring>

#include "samples/common/export_messages.h"
#include "samples/common/export_plan.h"
#include "samples/common/windows_text.h"

namespace sample_output {

namespace {

const char kRenameMessage[] =
    "出力ファイルを指定の名前にできませんでした。エンコードしたファイルは一時的な名前のまま残してあります。";
const char kPartialLabel[] = "エンコードしたファイル: ";
const char kFinalLabel[] = "指定の名前: ";

using sample_text::Narrow;
using sample_text::Utf8;
using sample_text::Widen;

}  // namespace

const char* OutputPathSetting(const OutputInfo& info, const char* setting) {
    const char* named = nullptr;
    std::memcpy(&named, info.passthrough_3, sizeof named);
    return named != nullptr && named[0] != '\0' ? named : setting;
}

bool ChooseFiles(const OutputInfo& info, const char* setting, const char* plan_refusal, const char* caption,
                 PartialOutput* files) {
    const char* path = OutputPathSetting(info, setting);
    if (path[0] == '\0') {
        sample_text::ShowError(caption, sample_text::kNoPathMessage, std::string());
        return false;
    }
    if (plan_refusal != nullptr) {
        sample_text::ShowError(caption, plan_refusal, std::string());
        return false;
    }
    std::wstring given = Widen(path, 932);
    wchar_t full[MAX_PATH * 2];
    const DWORD length = GetFullPathNameW(given.c_str(), MAX_PATH * 2, full, nullptr);
    files->path = length > 0 && length < MAX_PATH * 2 ? std::wstring(full, length) : given;
    files->partial = Widen(sample_plan::PartialPath(Narrow(files->path, CP_UTF8)), CP_UTF8);
    if (files->partial.size() >= MAX_PATH) {
        sample_text::ShowError(caption, sample_text::kPathTooLongMessage, Narrow(files->path, CP_UTF8));
        return false;
    }
    return true;
}

bool GiveFinalName(const PartialOutput& files, const char* caption) {
    if (MoveFileExW(files.partial.c_str(), files.path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED)) {
        return true;
    }
    const DWORD error = GetLastError();
    sample_text::ShowError(caption, kRenameMessage,
                           Utf8(kPartialLabel) + Narrow(files.partial, CP_UTF8) + "\n" + Utf8(kFinalLabel) +
                               Narrow(files.path, CP_UTF8) + "\n" + sample_text::SystemMessage(error));
    return false;
}

}  // namespace sample_output
