#pragma once

#include <algorithm>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "dialog_view.h"

namespace testing_support {

// Records what the window's decisions do to its widgets, and answers for them as a test sets.
class FakeView : public ui::DialogView {
public:
    void ResetDeviceList() override {
        entries.clear();
        details.clear();
        selected.clear();
    }
    void AddDeviceEntry(const std::string& text, const std::string& detail) override {
        entries.push_back(text);
        details.push_back(detail);
    }
    std::vector<std::string> SelectedDeviceEntries() const override { return selected; }
    void SelectDeviceEntries(const std::vector<std::string>& texts) override {
        selected.clear();
        for (const std::string& text : entries) {
            if (std::find(texts.begin(), texts.end(), text) != texts.end()) {
                selected.push_back(text);
            }
        }
    }
    std::string ImagePathText() const override { return imagePath; }
    bool IsControlChecked(int id) const override { return checked.count(id) != 0; }
    void SetControlChecked(int id, bool on) override {
        if (on) {
            checked.insert(id);
        } else {
            checked.erase(id);
        }
    }
    void ClearDeviceSelection() override { selected.clear(); }
    bool ConfirmWrite(const std::string& text) override {
        confirmations.push_back(text);
        return confirms;
    }
    void SetControlText(int id, const std::string& text) override { texts[id] = text; }
    void EnableControl(int id, bool enabled) override { this->enabled[id] = enabled; }
    void SetProgressPosition(int percent) override { progress = percent; }
    void ShowCardRows(const std::vector<std::string>& names) override {
        rowNames = names;
        rowStates.assign(names.size(), "");
    }
    void SetCardRow(std::size_t row, int percent, const std::string&,
                    const std::string& state) override {
        rowStates.at(row) = state + " " + std::to_string(percent);
    }
    void StartTimer() override {
        timerRunning = true;
        ++timersStarted;
    }
    void StopTimer() override { timerRunning = false; }
    void StartRefreshDelay() override { ++refreshDelays; }
    void ShowSuccessMessage(const std::string& text) override {
        ++successMessages;
        successText = text;
    }
    void EndDialog(int result) override { endedWith = result; }

    std::vector<std::string> entries;
    std::vector<std::string> details;
    std::vector<std::string> selected;
    std::string imagePath;
    std::set<int> checked;
    int refreshDelays = 0;
    std::map<int, std::string> texts;
    std::map<int, bool> enabled;
    int progress = -1;
    std::vector<std::string> rowNames;
    std::vector<std::string> rowStates;  // each row's state and percent: "Done 100"
    bool timerRunning = false;
    int timersStarted = 0;
    int successMessages = 0;
    std::string successText;
    std::vector<std::string> confirmations;
    bool confirms = false;
    std::optional<int> endedWith;
};

}  // namespace testing_support
