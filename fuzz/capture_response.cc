// The capture callback fed a response in chunks of any size and shape (item
// size times item count): each call reports the whole chunk as taken, and
// the buffer ends up holding every chunk up to its first NUL byte, in order.
// Each chunk lives in a heap block of its exact size, so a read past it is
// caught.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <memory>

#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace corvane;
  fuzz::quietProcess();
  FuzzedDataProvider provider(data, size);
  std::string buffer = provider.ConsumeRandomLengthString(32);  // text already captured
  std::string expected = buffer;
  for (int chunks = 0; chunks < 10000 && provider.remaining_bytes() > 0; ++chunks) {
    const std::string bytes =
        provider.ConsumeBytesAsString(provider.ConsumeIntegralInRange<size_t>(0, 600));
    const size_t total = bytes.size();
    // Item size: the largest divisor of the chunk's length up to a chosen one.
    size_t itemSize = provider.ConsumeIntegralInRange<size_t>(1, std::max<size_t>(total, 1));
    while (total % itemSize != 0) --itemSize;
    const size_t itemCount = total / itemSize;
    std::unique_ptr<char[]> chunk(new char[std::max<size_t>(total, 1)]);
    std::copy(bytes.begin(), bytes.end(), chunk.get());

    const size_t taken = captureResponse(chunk.get(), itemSize, itemCount, &buffer);
    fuzz::check(taken == total, "the whole chunk is reported as taken");
    expected += bytes.substr(0, bytes.find('\0'));
  }
  fuzz::check(buffer == expected, "every chunk is kept up to its first NUL");
  return 0;
}
