// What the window shows of the controller, and what its commands do to it.
//
// MakeMainView takes the snapshot the painter draws. CommandDispatcher runs one command: the
// update gate first, then the command, any failure ending in "Action unavailable or failed" with
// the session kept. The window's own effects (minimise, maximise, close, the clipboard, menus,
// message boxes) go through WindowEffects, so the dispatcher runs unchanged in tests.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "app/client.h"
#include "settings/settings_store.h"
#include "ui/commands.h"
#include "ui/painter.h"
#include "ui/ui_state.h"

namespace ov {

inline constexpr std::uint64_t kCopyFeedbackMs = 2000;

class WindowEffects {
 public:
  WindowEffects() = default;
  WindowEffects(const WindowEffects&) = delete;
  WindowEffects& operator=(const WindowEffects&) = delete;
  virtual ~WindowEffects() = default;

  virtual void Minimize() = 0;
  virtual void ToggleMaximize() = 0;
  virtual void Close() = 0;
  // Places text on the clipboard; false when the clipboard refused it.
  virtual bool CopyText(const std::wstring& text) = 0;
  // A popup menu at the pointer: the chosen command, or 0.
  virtual int ChooseFromMenu(const std::vector<MenuItem>& items) = 0;
  // A modal question with Yes and No (catalogue keys); true for Yes.
  virtual bool AskYesNo(const std::string& caption, const std::string& question) = 0;
  // The window must be laid out again (page or state changed) or only repainted.
  virtual void Relayout() = 0;
  // The copy check mark shown now goes `ms` milliseconds from now (not on a later tick).
  virtual void EndCopyFeedbackAfter(std::uint64_t ms) = 0;
  // The viewer's view area in client pixels.
  virtual ViewRect RemoteViewArea() = 0;
  virtual bool FullScreen() = 0;
  // Enters or leaves full screen (placement saved and restored), then lays the window out.
  virtual void SetFullScreen(bool on) = 0;
  // The connection-information box for these figures (the window translates its text).
  virtual void ShowConnectionInfo(const ViewerFigures& figures) = 0;
  // The file dialog, modal to the window: a file to send (`save` false) or where to save one,
  // pre-filled with `name`. The chosen file-system path, or empty when cancelled or failed.
  virtual std::u16string ChooseFile(bool save, const std::u16string& name) = 0;
  // Opens the folder of `file` in the shell with the file selected (throws when it cannot).
  virtual void ShowFileInFolder(const std::filesystem::path& file) = 0;
  // The chat box's text, and emptying it once the text was sent.
  virtual std::u16string ReadChatText() = 0;
  virtual void ClearChatText() = 0;
};

MainView MakeMainView(const Client& client);

class CommandDispatcher {
 public:
  // Everything must outlive the dispatcher. `settings` may be null (preview mode, or no store).
  CommandDispatcher(Client& client, UiState& ui, WindowEffects& effects, Clock& clock,
                    SettingsStore* settings);

  void Dispatch(int command);
  // The Escape key outside the remote view: declines a pending connection ("Reject"); true when
  // it did.
  bool OnEscape();

 private:
  void Run(int command);
  void Copy(int command);
  void ToggleApproval();
  void TogglePermission(int command);
  // The viewer's view and stream commands; "command unavailable" without a viewer session.
  void ViewCommand(int command);
  PeerSession& ViewerSession();
  // The chat and clipboard commands; "command unavailable" before the session tools are up.
  void ToolsCommand(int command);
  // The file commands: send, cancel, save as, reject.
  void FileCommand(int command);
  // Runs a popup menu: the chosen command, or 0 when nothing was chosen or the session the menu
  // was opened in ended while it was open.
  int ChooseInSession(const std::vector<MenuItem>& items);
  // Runs the file dialog with remote input held off; empty unless a path was chosen and the
  // session is still the one it was opened in.
  std::u16string ChooseFileInSession(bool save, const std::u16string& name);

  Client& client_;
  UiState& ui_;
  WindowEffects& effects_;
  Clock& clock_;
  SettingsStore* settings_;
};

}  // namespace ov
