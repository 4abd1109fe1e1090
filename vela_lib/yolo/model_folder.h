#pragma once

#include <QString>
#include <QStringList>

// The files of a trained model folder: the network configuration ("test.cfg", or the folder's
// only .cfg file), the weights ("train.weights") and the class names ("names.list", one a line).
class ModelFolder
{
public:
    QString cfgPath;
    QString weightsPath;
    QString namesPath;

    // Finds the three files; on failure returns false and says why in error.
    bool locate(const QString& folder, QString* error);

    // The class names of a names list: one a line, surrounding blanks and a trailing empty line
    // ignored.
    static QStringList readNames(const QByteArray& text);
};
