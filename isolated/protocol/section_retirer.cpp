#include "isolated/protocol/section_retirer.h"

unsigned THREAD_ENTRY_CALL SectionRetirer::CloseRetired(void* retirer) {
    static_cast<SectionRetirer*>(retirer)->retired_.Close();
    return 0;
}

void SectionRetirer::Retire(platform::SharedMemory& section) {
    Finish();
    retired_.Swap(section);
    if (!thread_.Start(&CloseRetired, this)) retired_.Close();
}

void SectionRetirer::Finish() {
    if (thread_.Started()) thread_.Join();
    retired_.Close();
}
