#pragma once

#include <QString>
#include <QStringList>

// Darknet classifier model folders for tests and benchmarks, laid out as the trainer exports
// them: "train.weights", "names.list" and "test.cfg". The weights come from libdarknet itself,
// either freshly initialised or trained for a short while.
namespace darknetmodels {

// The system's smallest network (32 x 32 input, ten layers) as a darknet configuration.
// A training configuration uses a learning-rate schedule without warm-up, so that a few hundred
// iterations already learn something.
QString voderoVod32Cfg(int classes, int batch, bool forTraining = false, int maxBatches = 1000);

// Writes a model folder whose network has libdarknet's random initial weights.
// `cfgText` holds the test configuration; `seed` makes the weights repeatable.
bool writeRandomModel(const QString& folder, const QString& cfgText, const QStringList& classes,
                      unsigned seed = 1);
// A VoderoVod_32 model whose last convolution is all zero: every class scores exactly
// 1 / classes on every picture.
bool writeUniformModel(const QString& folder, const QStringList& classes);
// darknet19 (256 x 256 input) for the given classes, as test configuration text.
QString darknet19Cfg(int classes);

// The classes of the shapes model, in the order of its names list.
QStringList shapeClasses();
// Pictures drawn by SyntheticProject::shapeImage with seeds from here on were never trained on.
constexpr unsigned kHeldOutSeed = 100000;
// A VoderoVod_32 network trained on SyntheticProject shapes (circle, square, triangle) that
// recognises held-out pictures of them. Trained once and kept in the build folder; returns the
// model folder, or "" when training failed.
QString trainedShapesModel();

} // namespace darknetmodels
