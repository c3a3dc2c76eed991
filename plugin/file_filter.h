// The file types the editor's save dialog offers for the relay: both
// products offer the same, as the encoder behind either one decides what it
// writes.
#pragma once

// Pairs of (description, patterns) for the editor's save dialog, each
// NUL-terminated, closed by an empty string (the literal's own NUL).
inline constexpr char kFileFilter[] =
    "ビデオファイル\0*.asf;*.ogm;*.mkv;*.wmv;*.avi\0"
    "オーディオファイル\0*.snd;*.mpa;*.au;*.wma;*.mp3;*.wav\0"
    "画像ファイル\0*.gif;*.jpeg;*.jpg;*.png;*.bmp\0"
    "すべてのファイル\0*.*\0";
