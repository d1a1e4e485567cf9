#include "tools/common/line_ring.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "tools/common/console_output.h"

namespace {

struct LineRing {
  SRWLOCK lock = SRWLOCK_INIT;
  CONDITION_VARIABLE ready = CONDITION_VARIABLE_INIT;
  char slot[kLineRingSlots][kLineRingSlotSize];
  int length[kLineRingSlots];
  unsigned head = 0;  // any thread writes, under the lock: next slot to fill
  unsigned tail = 0;  // the writer advances, under the lock: next slot to print
  unsigned dropped = 0;
  bool closing = false;
};

LineRing ring;
HANDLE writerThread = nullptr;

DWORD WINAPI LineWriterMain(void*) {
  char line[kLineRingSlotSize];
  for (;;) {
    AcquireSRWLockExclusive(&ring.lock);
    while (ring.head == ring.tail && !ring.closing && ring.dropped == 0)
      SleepConditionVariableSRW(&ring.ready, &ring.lock, INFINITE, 0);
    const unsigned dropped = ring.dropped;
    ring.dropped = 0;
    const bool have = ring.head != ring.tail;
    int length = 0;
    if (have) {
      const unsigned i = ring.tail % kLineRingSlots;
      length = ring.length[i];
      memcpy(line, ring.slot[i], static_cast<size_t>(length));
      ++ring.tail;
    }
    const bool done = !have && ring.closing;
    ReleaseSRWLockExclusive(&ring.lock);

    if (dropped) PrintLine("dropped=%u (output too slow)", dropped);
    if (have) WriteOutput(line, length);
    if (done) return 0;
  }
}

}  // namespace

void PushLine(const char* format, ...) {
  char buffer[kLineRingSlotSize];
  va_list args;
  va_start(args, format);
  int length = vsnprintf(buffer, sizeof buffer - 1, format, args);
  va_end(args);
  if (length < 0) return;
  if (length > kLineRingSlotSize - 2) length = kLineRingSlotSize - 2;
  buffer[length++] = '\n';

  AcquireSRWLockExclusive(&ring.lock);
  if (ring.head - ring.tail >= static_cast<unsigned>(kLineRingSlots)) {
    ++ring.dropped;
  } else {
    const unsigned i = ring.head % kLineRingSlots;
    memcpy(ring.slot[i], buffer, static_cast<size_t>(length));
    ring.length[i] = length;
    ++ring.head;
  }
  ReleaseSRWLockExclusive(&ring.lock);
  WakeConditionVariable(&ring.ready);
}

bool StartLineWriter() {
  writerThread = CreateThread(nullptr, 0, LineWriterMain, nullptr, 0, nullptr);
  return writerThread != nullptr;
}

void StopLineWriter(DWORD waitMs) {
  AcquireSRWLockExclusive(&ring.lock);
  ring.closing = true;
  ReleaseSRWLockExclusive(&ring.lock);
  WakeConditionVariable(&ring.ready);
  if (writerThread) WaitForSingleObject(writerThread, waitMs);
}
