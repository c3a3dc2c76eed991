// What the export run and the read-ahead cache tell the user, byte for byte
// (code page 932 at run time): the one place these texts live.
#pragma once

inline constexpr char kInvalidBufferCountMessage[] = "先読みバッファ数が異常です。再設定してください。";
inline constexpr char kNoPluginSelectedMessage[] = "出力プラグインが選択されていません。再設定してください。";
inline constexpr char kArrayMemoryMessage[] = "メモリが確保できませんでした。先読みバッファ数を減らしてみてください。";
inline constexpr char kWorkerStartMessage[] = "出力スレッドの初期化に失敗しました。";
inline constexpr char kBufferMemoryMessage[] =
    "バッファ用メモリが確保できませんでした。先読みバッファ数を減らしてみてください。";
