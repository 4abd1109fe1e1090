#pragma once

#include <QFileInfo>
#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QVector>

#include <random>
#include <utility>

// What goes into a darknet classifier training folder (data_gen), as pure functions: the garbage
// classes, labels and display names, image file names, the data file, class balancing and the
// training list. Generation calls them; tests call them directly.
namespace TrainingFolder {

using ClassFiles = QMap<QString, QList<QFileInfo> >;
// Class name -> list entries ("data_gen/train/<file>"), in the order the images were written.
using ClassEntries = QMap<QString, QStringList>;

constexpr const char* kFolderName = "data_gen";
constexpr const char* kUnknownPrefix = "UNKNOWN-";
constexpr const char* kRandomClass = "RANDOM-";
constexpr const char* kNullPrefix = "NULL";
// Side of the noise image of the unknown classes and of every augmented copy, whatever the
// generation size.
constexpr int kFixedSide = 608;
constexpr int kRandomClassImages = 1000;

// The training folder inside the generation folder genFolder.
QString folderIn(const QString& genFolder);
// Why the project folder and the training folder of genFolder must not be used together (one
// lies inside the other, or they are one folder, links resolved), or empty when they are apart.
QString nestingProblem(const QString& projectFolder, const QString& genFolder);
// kFolderName + "/" + fileName: a file of the training folder as darknet sees it from the
// generation folder, its working directory.
QString relativePath(const QString& fileName);

// A version-4 UUID as 32 lowercase hexadecimal digits, no braces, no hyphens.
QString randomId();

// Garbage classes (unknown and random) are never augmented.
bool isGarbageClass(const QString& className);

// The N unknown classes ("UNKNOWN-" + index), each holding only the noise image; they replace
// project classes of the same name.
void addUnknownClasses(ClassFiles& classes, int count, const QFileInfo& noiseImage);

struct ClassLabel
{
    QString label;       // line of labels.txt; a substring of every image path of the class
    QString displayName; // line of names.list
};
// The label and display name of a class, with id the class's fresh random id.
ClassLabel labelFor(const QString& className, const QString& id);

struct LabelTable
{
    QMap<QString, QString> labelOf; // class name -> label
    QString labelsText;             // labels.txt
    QString namesText;              // names.list
};
// One fresh label per class, in key order; the texts are joined by "\n" with no final break.
LabelTable makeLabelTable(const QStringList& classNames);

// id + "_" + label + extension (extension with its dot).
QString imageFileName(const QString& id, const QString& label, const QString& extension);
// "data_gen/train/" + fileName: the path darknet sees from the generation folder.
QString trainEntry(const QString& fileName);

// The darknet data file for classCount classes.
QString dataFileText(int classCount);
// The version file: family, ":", model name.
QString versionText(int family, const QString& modelName);

struct Sample
{
    QString className;
    QString path; // absolute
};
// One sample per file, classes in key order, files in list order.
QVector<Sample> sampleList(const ClassFiles& classes);

// Uniform Fisher-Yates shuffle drawing from rng.
template <typename T>
void shuffle(QVector<T>& items, std::mt19937& rng)
{
    for (int i = items.size() - 1; i > 0; --i) {
        std::uniform_int_distribution<int> pick(0, i);
        std::swap(items[i], items[pick(rng)]);
    }
}

// Repeats each class's entries, from its first one on, until every class with at least one
// entry has as many as the largest. Returns that number (0 when there are no entries).
int balance(ClassEntries& entries);

// The entries of all classes in key order, shuffled with rng and joined by "\n".
QString trainingListText(const ClassEntries& entries, std::mt19937& rng);

} // namespace TrainingFolder
