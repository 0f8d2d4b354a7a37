// What the transfer tests need from the platform: the thread set up as the
// window host sets it up, the process's CPU time, and a ticker that only
// advances while the thread dispatches its pending messages.
#pragma once

namespace webtest {

// Prepares the calling thread as the program's window thread is prepared.
void InitThread();

// User plus kernel CPU time the whole process has used, in seconds.
double ProcessCpuSeconds();

// Starts a periodic tick, delivered through the thread's messages (a thread
// timer on Windows, a GLib timeout on Linux); Ticks() counts the ticks that
// were dispatched.
void StartTicker(unsigned interval_ms);
int Ticks();
void StopTicker();

// Whether a fetch that fails on the network (nobody listening, a redirect
// loop) ends at once. The Windows request component, as Wine provides it,
// never completes such a request; the fetch then ends by its time-out.
extern const bool kNetworkFailureEndsFetchAtOnce;

// Whether the fetch can abandon an endless answer. The Windows request
// component, as Wine provides it, reports no partial body, and while data keep
// arriving faster than it stores them it never leaves its own message
// handler, so the fetch cannot act until the sender pauses.
extern const bool kFetchStopsEndlessAnswer;

// Whether the request component gives up a redirect loop. Wine's follows it
// for ever on a thread of its own, even after the request has been released,
// and would burn CPU for the rest of the test process.
extern const bool kComponentStopsRedirectLoop;

// Whether a chunked body whose connection closes before the last chunk (at a
// chunk's end or inside one) is seen as cut short. WinINet, as Wine provides
// it, reports such a body as complete.
extern const bool kDownloadSeesCutChunkedBody;

// Whether the text of an answer follows the character set its Content-Type
// declares. The Windows request component, as Wine provides it, always reads
// UTF-8 (the component's decoding is its own business).
extern const bool kTextFollowsDeclaredCharset;

}  // namespace webtest
