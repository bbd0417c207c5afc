// The window's own effects as the command dispatcher's tests see them: counted, with the menu
// choice, the clipboard's answer and the yes/no answer set by the test.
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "app/commands.h"

namespace ov::testing {

class RecordedEffects final : public WindowEffects {
 public:
  void Minimize() override { ++minimized; }
  void ToggleMaximize() override { ++maximized; }
  void Close() override { ++closed; }
  bool CopyText(const std::wstring& text) override {
    copied.push_back(text);
    return clipboardWorks;
  }
  int ChooseFromMenu(const std::vector<MenuItem>& items) override {
    menus.push_back(items);
    if (duringMenu) duringMenu();
    return menuChoice;
  }
  bool AskYesNo(const std::string&, const std::string&) override {
    ++asked;
    return answer;
  }
  void Relayout() override { ++relayouts; }
  void EndCopyFeedbackAfter(std::uint64_t ms) override { feedbackEnds.push_back(ms); }
  ViewRect RemoteViewArea() override { return {0, 52, 1000, 500}; }
  bool FullScreen() override { return fullScreen; }
  void SetFullScreen(bool on) override { fullScreen = on; }
  void ShowConnectionInfo(const ViewerFigures& figures) override { info.push_back(figures); }
  std::u16string ChooseFile(bool save, const std::u16string& name) override {
    dialogs.push_back({save, name});
    if (duringDialog) duringDialog();
    return chosenPath;
  }
  void ShowFileInFolder(const std::filesystem::path& file) override { shown.push_back(file); }
  std::u16string ReadChatText() override { return chatText; }
  void ClearChatText() override { chatText.clear(); }

  std::u16string chatText;
  std::vector<std::filesystem::path> shown;  // files shown in their folder
  std::u16string chosenPath;               // what the file dialog answers
  std::function<void()> duringDialog;      // runs while the dialog is open
  std::function<void()> duringMenu;        // runs while a popup menu is open
  std::vector<std::pair<bool, std::u16string>> dialogs;
  bool fullScreen = false;
  int menuChoice = 0;
  std::vector<std::vector<MenuItem>> menus;
  std::vector<ViewerFigures> info;
  int minimized = 0, maximized = 0, closed = 0, asked = 0, relayouts = 0;
  std::vector<std::uint64_t> feedbackEnds;  // the copy check mark's times, as asked
  bool clipboardWorks = true;
  bool answer = true;
  std::vector<std::wstring> copied;
};

}  // namespace ov::testing
