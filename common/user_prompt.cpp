#include "user_prompt.h"

#include <QAbstractButton>
#include <QDebug>

namespace {

struct Answerers
{
    bool batch = false;
    UserPrompt::QuestionAnswerer question;
    UserPrompt::CriticalObserver critical;
    UserPrompt::DirectoryAnswerer directory;
    UserPrompt::FileAnswerer file;
};

Answerers& answerers()
{
    static Answerers instance;
    return instance;
}

} // namespace

QMessageBox::StandardButton UserPrompt::question(QWidget* parent, const QString& title, const QString& text,
                                                 QMessageBox::StandardButtons buttons,
                                                 QMessageBox::StandardButton defaultButton,
                                                 QMessageBox::StandardButton batchAnswer)
{
    if (answerers().question)
        return answerers().question(title, text);
    if (answerers().batch) {
        qDebug().noquote() << "batch run, nobody to ask:" << text << "answered"
                           << (batchAnswer == QMessageBox::Yes ? "Yes" : batchAnswer == QMessageBox::No ? "No" : "");
        return batchAnswer;
    }
    return QMessageBox::question(parent, title, text, buttons, defaultButton);
}

QMessageBox::StandardButton UserPrompt::timedQuestion(QWidget* parent, const QString& title, const QString& text,
                                                      QMessageBox::StandardButtons buttons,
                                                      QMessageBox::StandardButton defaultButton, int autoAnswerMs)
{
    if (answerers().question)
        return answerers().question(title, text);
    if (answerers().batch) {
        qDebug().noquote() << "batch run, nobody to ask:" << text << "answered with the default button";
        return defaultButton;
    }
    QMessageBox box(QMessageBox::Question, title, text, buttons, parent);
    box.setDefaultButton(defaultButton);
    if (QAbstractButton* button = box.button(defaultButton))
        button->animateClick(autoAnswerMs);
    return QMessageBox::StandardButton(box.exec());
}

void UserPrompt::critical(QWidget* parent, const QString& title, const QString& text)
{
    if (answerers().critical) {
        answerers().critical(title, text);
        return;
    }
    if (answerers().batch) {
        qWarning().noquote() << title << ":" << text;
        return;
    }
    QMessageBox::critical(parent, title, text, QMessageBox::Ok);
}

QString UserPrompt::existingDirectory(QWidget* parent, const QString& caption, const QString& startDir,
                                      QFileDialog::Options options)
{
    if (answerers().directory)
        return answerers().directory(caption, startDir);
    if (answerers().batch)
        return QString();
    return QFileDialog::getExistingDirectory(parent, caption, startDir, options);
}

QString UserPrompt::openFileName(QWidget* parent, const QString& caption, const QString& startDir,
                                 const QString& filter, QFileDialog::Options options)
{
    if (answerers().file)
        return answerers().file(caption, startDir, filter);
    if (answerers().batch)
        return QString();
    return QFileDialog::getOpenFileName(parent, caption, startDir, filter, nullptr, options);
}

void UserPrompt::setBatchMode(bool batch) { answerers().batch = batch; }
void UserPrompt::setQuestionAnswerer(QuestionAnswerer answerer) { answerers().question = std::move(answerer); }
void UserPrompt::setCriticalObserver(CriticalObserver observer) { answerers().critical = std::move(observer); }
void UserPrompt::setDirectoryAnswerer(DirectoryAnswerer answerer) { answerers().directory = std::move(answerer); }
void UserPrompt::setFileAnswerer(FileAnswerer answerer) { answerers().file = std::move(answerer); }

void UserPrompt::resetAnswerers()
{
    // Batch mode is no answerer: it stays as it is.
    answerers() = Answerers{answerers().batch};
}
