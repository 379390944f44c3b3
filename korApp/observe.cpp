// Configuration and start of what is observed, and the one place that hands an
// event to the parts it concerns: a command's end to the journal and the
// counters, a console write to the journal and the console, a channel's or a
// service's bytes to the counters and the capture.
#include <cstdio>

#include "korHandleTable.h"
#include "korObserveInternal.h"
#include "korRing.h"

namespace {

KorObserveConfig settings;

void countEnded(bool ended, const korobs::EndedCommand& c) {
    if (ended) korobs::countCommand(c.id, c.result, c.durationMs);
}

// The services' connections, as the stream hook tells of them.
void serviceSeen(const KorStreamBlock& block) { korobs::captureService(block); }

}  // namespace

void kor_observeConfigure(const KorObserveConfig& config) {
    settings = config;
    if (settings.journalEntries < 0) settings.journalEntries = 0;
    // A journal too small for its ring gets the smallest that works.
    if (settings.journalEntries > 0 &&
        settings.journalEntries < KorRing<std::uint64_t>::kMinCapacity)
        settings.journalEntries = KorRing<std::uint64_t>::kMinCapacity;
    if (settings.journalEntries > KOR_JOURNAL_MAX_ENTRIES)
        settings.journalEntries = KOR_JOURNAL_MAX_ENTRIES;
    if (settings.captureBytes < KOR_CAPTURE_MIN_BYTES)
        settings.captureBytes = KOR_CAPTURE_MIN_BYTES;
    if (settings.captureBytes > KOR_CAPTURE_MAX_BYTES)
        settings.captureBytes = KOR_CAPTURE_MAX_BYTES;
}

void kor_observeStart() {
    korobs::noteStarted();
    if (settings.journalEntries > 0 && !korobs::startJournal(settings.journalEntries))
        std::printf("Error - Journal: no memory for %d entries, journal off\r\n",
                    settings.journalEntries);
    korobs::startConsole();
    if (!korobs::startCapture(settings.captureBytes, settings.captureAll))
        std::printf("Error - Capture: no memory for every channel's ring\r\n");
    ctlConsoleTap(kor_consoleTap);
    kor_streamHook(serviceSeen);
}

void kor_observeStartTask() { korobs::startConsoleTask(); }

void kor_consoleTap(const char* text, int length, CtlConsoleWrite write) {
    korobs::journalPrinted(text, length);  // in the printing task: its own record
    korobs::consoleWrite(text, length, write);
}

void kor_commandAbort(int ticket, std::int32_t result) {
    korobs::EndedCommand c{};
    countEnded(korobs::endTicket(ticket, result, &c), c);
}

void kor_commandResult(std::int32_t result) {
    korobs::EndedCommand c{};
    countEnded(korobs::endOwnCommand(result, &c), c);
}

void kor_commandEnd() { kor_commandResult(-1); }

void kor_noteReceived(int handle, int type, const char* data, int length, int stored,
                      const CtlSockAddrIn* from) {
    if (length <= 0) return;
    korobs::countReceived(handle, type, length, stored);
    korobs::captureChunk(handle, true, data, length, from);
}

void kor_noteSent(int handle, int type, const char* data, int length, int result) {
    if (result <= 0 && !(type == KORHDLTYPE_RS232 && result == 0)) return;
    // The serial send reports 0 for all bytes sent, the others their count.
    const int sent = type == KORHDLTYPE_RS232 ? length : (result < length ? result : length);
    korobs::countSent(handle, type, sent);
    korobs::captureChunk(handle, false, data, sent);
}
