// What a peer session and each of its features may ask of the controller that owns them. This is
// the whole of their view of the program: they never see the controller itself.
//
// Every member is called on the UI thread, except SendSealed and PostEndEvent, which any thread
// may call (the stream thread queues its frames and reports its end through them).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ov {

class SessionOwner {
 public:
  SessionOwner() = default;
  SessionOwner(const SessionOwner&) = delete;
  SessionOwner& operator=(const SessionOwner&) = delete;
  virtual ~SessionOwner() = default;

  // Queues one sealed message of `kind` on the session's channel. False when there is no channel
  // or connection, the message is too large to seal, or the send queue refuses it.
  virtual bool SendSealed(std::uint8_t kind, std::vector<std::uint8_t> plaintext) = 0;
  // The generation of the session's connection. An end posted under it after that connection
  // is gone is dropped.
  virtual std::uint32_t ConnectionGeneration() = 0;
  // Any thread: ends the session of connection `generation` as a failure of that connection
  // with `reason` (an Error event through the event queue; the status line then says the
  // connection closed).
  virtual void PostEndEvent(std::uint32_t generation, const std::string& reason) = 0;
  // Erases every queued, unsent screen frame (a stream restarting under a new display epoch).
  virtual void RemoveQueuedFrames() = 0;
  // Monotonic milliseconds (never 0).
  virtual std::uint64_t NowMs() = 0;
  // Replaces the status line (a catalogue key) and repaints.
  virtual void ShowStatus(const std::string& status) = 0;
  // Lays the window out again (what is shown changed shape), or only repaints it.
  virtual void RequestLayout() = 0;
  virtual void Repaint() = 0;
  // Viewer: only the area x, y, width x height (picture pixels) of the remote picture changed,
  // which kept its size: repaints what shows that area (by default, everything).
  virtual void RepaintPictureArea(int /*x*/, int /*y*/, int /*width*/, int /*height*/) { Repaint(); }
  // Viewer: the current remote picture is no longer valid.
  virtual void DropRemotePicture() = 0;
  // The hello exchange completed: the step deadline of the pairing no longer applies.
  virtual void ClearPairingDeadline() = 0;
  // Ends the session with `status` on the status line. The end happens once the call into the
  // session that asked for it has returned, so the caller may go on touching its own state.
  virtual void EndSession(const std::string& status) = 0;
};

}  // namespace ov
