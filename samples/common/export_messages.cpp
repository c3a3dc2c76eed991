#include "samples/common/export_messages.h"

namespace sample_text {

const char kNoPathMessage[] = "出力ファイルが指定されていません。設定画面で出力ファイルを指定してください。";
const char kNoVideoMessage[] = "出力する映像がありません。";
const char kVideoFormatMessage[] = "映像の形式に対応していません。";
const char kAudioFormatMessage[] = "音声の形式に対応していません。16ビットPCMのみ出力できます。";
const char kMemoryMessage[] = "メモリが確保できませんでした。";
const char kFrameMessage[] = "映像を取得できませんでした。";
const char kCreateMessage[] = "出力ファイルを作成できませんでした。";
const char kPathTooLongMessage[] =
    "出力ファイルのパスが長すぎるため出力できません。フォルダーまたはファイルの名前を短くしてください。";

const char* PlanErrorMessage(sample_plan::PlanError error) {
    switch (error) {
        case sample_plan::PlanError::kNoVideo: return kNoVideoMessage;
        case sample_plan::PlanError::kVideoFormat: return kVideoFormatMessage;
        case sample_plan::PlanError::kAudioFormat: return kAudioFormatMessage;
        case sample_plan::PlanError::kNone:
        case sample_plan::PlanError::kOddSize:
        case sample_plan::PlanError::kTooLarge: break;
    }
    return nullptr;
}

}  // namespace sample_text
