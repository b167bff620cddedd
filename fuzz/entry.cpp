// The libFuzzer entry point of one target, named by DADOVU_FUZZ_TARGET.
#include "FuzzTargets.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return DadovuFuzz::DADOVU_FUZZ_TARGET(data, size);
}
