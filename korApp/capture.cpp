// Traffic capture per channel.
#include "korObserveInternal.h"

namespace korobs {

bool startCapture() { return true; }

void captureChunk(int, bool, const char*, int) {}

}  // namespace korobs

int kor_captureRequest(const char*, int, char* buf, int size) {
    return size > 2 ? (buf[0] = '-', buf[1] = '1', 2) : 0;
}
