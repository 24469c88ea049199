// A main window whose dialogs and message boxes are answered by the test.
#pragma once

#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <QCheckBox>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QTableView>

#include "shell/ShellDialogs.h"
#include "shell/frmStep1.h"
#include "shell/registry_gui.h"

struct ShownMessage {
    std::string text;
    std::string title;
    int style;
};

class ScriptedDialogs : public shell::ShellDialogs {
public:
    // Answers, taken in order; an empty queue answers "" (cancel) or No/OK.
    std::deque<std::string> fileAnswers;
    std::deque<std::string> folderAnswers;
    std::deque<int> messageAnswers;
    // When set, the next file dialog fails with this error.
    std::unique_ptr<shell::DialogError> fileError;

    std::vector<std::string> folderTitles;
    std::vector<ShownMessage> messages;
    std::vector<std::string> openedDocuments;
    int fileDialogs = 0;
    // Called as each message box opens (before it is answered).
    std::function<void(const ShownMessage&)> onMessage;

    std::string openFiles(QWidget*, const std::string& filter) override {
        ++fileDialogs;
        lastFilter = filter;
        if (fileError) {
            shell::DialogError error = *fileError;
            fileError.reset();
            throw error;
        }
        return take(fileAnswers);
    }
    std::string browseForFolder(QWidget*, const std::string& title) override {
        folderTitles.push_back(title);
        return take(folderAnswers);
    }
    int message(QWidget*, const std::string& text, const std::string& title, int style) override {
        messages.push_back({text, title, style});
        if (onMessage) onMessage(messages.back());
        if (messageAnswers.empty()) return style == 36 ? AnswerNo : AnswerOk;
        int answer = messageAnswers.front();
        messageAnswers.pop_front();
        return answer;
    }
    void openDocument(const std::string& target) override { openedDocuments.push_back(target); }

    std::string lastFilter;

private:
    static std::string take(std::deque<std::string>& queue) {
        if (queue.empty()) return std::string();
        std::string answer = queue.front();
        queue.pop_front();
        return answer;
    }
};

class WindowTest : public ::testing::Test {
protected:
    WindowTest() : window(dialogs) {}

    template <typename T>
    T* control(const char* name) {
        T* found = window.findChild<T*>(QString::fromLatin1(name));
        EXPECT_NE(found, nullptr) << "no control " << name;
        return found;
    }
    QPushButton* button(const char* name) { return control<QPushButton>(name); }
    QRadioButton* option(const char* name) { return control<QRadioButton>(name); }
    QCheckBox* singleStore() { return control<QCheckBox>("ChkAllinOnePST"); }
    QString caption(const char* name) { return control<QLabel>(name)->text(); }
    QString countLabel() { return caption("lblCount1"); }
    QTableView* grid() { return control<QTableView>("grdFiles1"); }
    QString cell(int row) { return grid()->model()->index(row, 0).data().toString(); }
    int gridRows() { return grid()->model()->rowCount(); }

    // Lists `source`, picks the .eml form and has the folder dialog answer
    // `outFolder`: Convert then starts a run.
    void prepareEmlRun(const std::string& source, const std::string& outFolder) {
        dialogs.fileAnswers = {source};
        button("cmdAdd")->click();
        option("OptEML")->click();
        dialogs.folderAnswers = {outFolder};
    }

    ScriptedDialogs dialogs;
    shell::FrmStep1 window;
};
