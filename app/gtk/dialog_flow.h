// The desktop dialog's decisions, free of any window system: when the
// adapter link is opened, that only one library call runs at a time, what
// each outcome does to the boxes, how cancel ends the dialog, and how typed
// text is held within the byte limits of the network setup file.
//
// The link is opened when the window is first shown and again when it is
// exposed after having been hidden or iconified; ordinary redraws do not
// open it, so a missing adapter never runs one discovery per frame.
//
// The GTK layer feeds window events and library results in and carries out
// what comes back; everything here runs on its main loop.
//
// Failure reporting: none of its own; library outcomes are the J2534 status
// codes (or the negative provisioning outcomes) passed through.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace orv::app::desktop {

// The library calls the dialog makes, each run on the one worker thread.
enum class Job : uint8_t { kNone, kOpen, kProvision, kClose };

struct DialogFlow {
  bool open_due = true;      // the next expose opens the link
  bool visible = false;      // shown and not iconified
  Job running = Job::kNone;  // the library call in flight
  bool cancelled = false;    // Escape or the close box: no new work
  bool provisioned = false;  // the success box is up; the program ends after it
};

// What the window layer does when a library call has finished.
struct JobOutcome {
  bool show_open_failed = false;      // "ERROR" into the SSID box
  bool show_transfer_failed = false;  // "ERROR:FILE" into the password box
  bool show_success = false;          // the success box, then the end
  Job next = Job::kNone;              // the call to start now
  bool quit = false;                  // the dialog is over
};

// The Provision button takes presses only while nothing runs.
inline bool IsBusy(const DialogFlow& flow) {
  return flow.running != Job::kNone || flow.cancelled || flow.provisioned;
}

// Takes the next call, if any, and marks it running.
inline Job Begin(DialogFlow& flow, Job job) {
  if (job != Job::kNone) flow.running = job;
  return job;
}

// The open that is due once the window can be seen and nothing runs.
inline Job DueOpen(DialogFlow& flow) {
  if (!flow.open_due || !flow.visible || IsBusy(flow)) return Job::kNone;
  flow.open_due = false;
  return Begin(flow, Job::kOpen);
}

// The window was drawn: the first time, or after being hidden, this opens
// the link.
inline Job OnExposed(DialogFlow& flow) {
  flow.visible = true;
  return DueOpen(flow);
}

// The window was hidden or iconified: the next expose opens the link again.
inline void OnHidden(DialogFlow& flow) {
  flow.visible = false;
  flow.open_due = true;
}

// "Provision" was pressed: true when the provisioning call is to start.
inline bool OnProvisionPressed(DialogFlow& flow) {
  if (IsBusy(flow)) return false;
  flow.running = Job::kProvision;
  return true;
}

// Escape or the close box. The link is closed once the call in flight (if
// any) has returned; the returned call is the one to start now.
inline Job OnCancel(DialogFlow& flow) {
  if (flow.cancelled) return Job::kNone;
  flow.cancelled = true;
  if (flow.running != Job::kNone) return Job::kNone;
  return Begin(flow, Job::kClose);
}

inline JobOutcome OnJobDone(DialogFlow& flow, Job finished, int32_t status) {
  JobOutcome outcome;
  flow.running = Job::kNone;
  if (finished == Job::kClose) {
    outcome.quit = true;
    return outcome;
  }
  if (flow.cancelled) {
    // The user has already left: the result is not shown; the link closes.
    outcome.next = Begin(flow, Job::kClose);
    return outcome;
  }
  if (finished == Job::kOpen && status != 0) outcome.show_open_failed = true;
  if (finished == Job::kProvision) {
    if (status == 0) {
      flow.provisioned = true;
      outcome.show_success = true;
      return outcome;
    }
    outcome.show_transfer_failed = true;
  }
  // Hidden and shown again while the call ran: that expose's open follows.
  outcome.next = DueOpen(flow);
  return outcome;
}

// --- box text within the file's byte limits -----------------------------------

inline bool IsUtf8Continuation(char c) {
  return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

// The longest prefix of `text` of at most `limit` bytes that does not cut a
// UTF-8 character in two.
inline std::string_view FittingPrefix(std::string_view text, size_t limit) {
  if (text.size() <= limit) return text;
  size_t cut = limit;
  while (cut > 0 && IsUtf8Continuation(text[cut])) --cut;
  return text.substr(0, cut);
}

// How many bytes of `insert` a box that holds `held` bytes may take without
// going over `limit`, cut at a character boundary.
inline size_t InsertableBytes(std::string_view insert, size_t held, size_t limit) {
  if (held >= limit) return 0;
  return FittingPrefix(insert, limit - held).size();
}

}  // namespace orv::app::desktop
