#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// Model folders for classifier tests: network templates, their instantiation, and weights.
namespace classifierfix {

// The template placeholders filled in: "$batch$", "$subdivisions$", "$classes$".
QString instantiate(const QString& templateText, int classes, int batch = 1, int subdivisions = 1);

// The catalogue's template files (resources/ai_models/{mainline,forkline}/*.cfg) in this tree.
QStringList catalogueTemplates();
// darknet's reference classifier configurations (/usr/share/darknet/cfg) that the catalogue's
// mainline templates are made from.
QStringList referenceConfigurations();
// A template's text: a catalogue file as it is, or a darknet reference configuration turned
// into a template (its batch, subdivisions and last class count replaced by placeholders).
QString templateText(const QString& path);
// The catalogue's template of that name, or else darknet's reference configuration.
QString templateNamed(const QString& name);
// The system's smallest network, 32x32 input, as its catalogue template describes it.
QString voderoVod32Template();

// A weights file for cfgText laid out from the configuration alone, with plausible values
// (unit variances, small weights), for networks libdarknet cannot parse.
QByteArray sizedWeights(const QString& cfgText, unsigned seed);

// Writes folder/test.cfg and folder/names.list ("class_0" ...); weights are written apart.
void writeModelFolder(const QString& folder, const QString& cfgText, int classes);
QStringList classNames(int classes);

} // namespace classifierfix
