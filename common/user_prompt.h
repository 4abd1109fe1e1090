#pragma once

#include <QFileDialog>
#include <QMessageBox>
#include <QString>

#include <functional>

class QWidget;

// Every modal question, error box and file dialog of both programs goes through here. A person
// sees the usual Qt boxes; a batch run (nobody at the screen) gets the default answer and a
// debug line instead of a box that would wait forever; tests install answerers.
class UserPrompt
{
public:
    using QuestionAnswerer = std::function<QMessageBox::StandardButton(const QString& title, const QString& text)>;
    using CriticalObserver = std::function<void(const QString& title, const QString& text)>;
    using DirectoryAnswerer = std::function<QString(const QString& caption, const QString& startDir)>;
    using FileAnswerer = std::function<QString(const QString& caption, const QString& startDir, const QString& filter)>;

    static QMessageBox::StandardButton question(QWidget* parent, const QString& title, const QString& text,
                                                QMessageBox::StandardButtons buttons,
                                                QMessageBox::StandardButton defaultButton,
                                                QMessageBox::StandardButton batchAnswer);
    // A question that answers itself: its default button is held down at once and released
    // after autoAnswerMs, which clicks it unless the user answers first. A batch run takes the
    // default button at once.
    static QMessageBox::StandardButton timedQuestion(QWidget* parent, const QString& title, const QString& text,
                                                     QMessageBox::StandardButtons buttons,
                                                     QMessageBox::StandardButton defaultButton, int autoAnswerMs);
    static void critical(QWidget* parent, const QString& title, const QString& text);
    static QString existingDirectory(QWidget* parent, const QString& caption, const QString& startDir,
                                     QFileDialog::Options options);
    static QString openFileName(QWidget* parent, const QString& caption, const QString& startDir,
                                const QString& filter, QFileDialog::Options options);

    // No person is expected to answer: questions take their batch answer, errors go to the
    // debug log, file dialogs return "" (cancel).
    static void setBatchMode(bool batch);

    // Answerers for tests; an empty function restores the default behaviour.
    static void setQuestionAnswerer(QuestionAnswerer answerer);
    static void setCriticalObserver(CriticalObserver observer);
    static void setDirectoryAnswerer(DirectoryAnswerer answerer);
    static void setFileAnswerer(FileAnswerer answerer);
    static void resetAnswerers();
};
