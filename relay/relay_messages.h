// What the export run tells the user, byte for byte (code page 932 at run time).
#pragma once

extern const char kInvalidBufferCountMessage[];
extern const char kNoPluginSelectedMessage[];
extern const char kArrayMemoryMessage[];
extern const char kWorkerStartMessage[];
extern const char kBufferMemoryMessage[];
