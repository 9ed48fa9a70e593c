// The capture callback fed a response in chunks of any size and shape (item
// size times item count): each call reports the whole chunk as taken, and
// the buffer ends up holding every chunk up to its first NUL byte, in order,
// until the answer outgrows the cap: then the chunk is refused (0) and the
// buffer marked, never grown past the cap.
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
  CaptureBuffer buffer;
  buffer.text = provider.ConsumeRandomLengthString(32);  // text already captured
  std::string expected = buffer.text;
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
    const std::string kept = bytes.substr(0, bytes.find('\0'));
    if (expected.size() + kept.size() > kMaxCapturedBytes) {
      fuzz::check(taken == 0 && buffer.overflowed, "an answer past the cap is refused");
      break;
    }
    fuzz::check(taken == total && !buffer.overflowed, "the whole chunk is reported as taken");
    expected += kept;
  }
  fuzz::check(buffer.text == expected, "every chunk is kept up to its first NUL");
  fuzz::check(buffer.text.size() <= kMaxCapturedBytes, "the buffer never passes the cap");
  return 0;
}
