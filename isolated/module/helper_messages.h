// What the isolated module tells the user about its helper program, byte for
// byte (code page 932 at run time): the one place these texts live. The
// formats take the encoder's name (or, during the scan, its file's) first.
#pragma once

inline constexpr char kHelperMissingMessage[] =
    "sidecar_helper.exe が見つかりません。sidecar_isolated.auo と同じフォルダに置いてください。";
inline constexpr char kHelperStartMessage[] = "sidecar_helper.exe を起動できませんでした。";
inline constexpr char kHelperMismatchMessage[] =
    "sidecar_helper.exe が sidecar_isolated.auo と同じ版ではないため、使えません。"
    "同じ版の 2 つのファイルを同じフォルダに置いてください。";
// The encoder's name, the exception code, the module and the offset in it.
inline constexpr char kEncoderCrashFormat[] =
    "出力プラグイン「%s」が異常終了しました。\n例外コード: 0x%08X\n場所: %s + 0x%08X";
// The same, for a crash at an address that no module holds.
inline constexpr char kEncoderCrashAtAddressFormat[] =
    "出力プラグイン「%s」が異常終了しました。\n例外コード: 0x%08X\n場所: 0x%08X";
// The encoder's name and the helper's exit code: it ended without a crash
// (the encoder ended the process itself).
inline constexpr char kEncoderEndedFormat[] =
    "出力プラグイン「%s」の実行中に sidecar_helper.exe が終了しました。\n終了コード: 0x%08X";
// Follows either of the two above when the encoder ended the helper while it
// was being started: the others are started again without it.
inline constexpr char kLeftOutNote[] = "\nこの出力プラグインは一覧から外しました。";
inline constexpr char kEncoderHungFormat[] = "出力プラグイン「%s」が応答しなくなったため、終了させました。";
