#pragma once

#include <QString>

// What one chunk of the darknet trainer's console output says about the run. Fields whose
// token the chunk lacks stay unset; texts are what the read-outs show.
struct TrainingOutputReading
{
    bool hasIteration = false;
    QString iterationText; // as printed between "[" and "]"
    qint64 iteration = 0;  // its value, 0 when not a decimal integer

    bool hasAverageLoss = false;
    QString averageLossLabel; // the whole label text
    double averageLoss = 0;

    bool hasAccuracy = false;
    QString accuracyLabel;
    double accuracy = 0; // percent

    // The latest "valid[I] top1 T, top5 F, N images, S seconds" line of the chunk.
    bool hasValidation = false;
    QString validationLabel;     // "Validation : 93.50 %"
    double validationAccuracy = 0; // top-1, percent with 2 decimals
    qint64 validationIteration = 0;
};

// Reads the trainer's progress lines ("iteration[I] I, E: L, A avg, C acc, R rate, ...") and
// validation lines ("valid[I] top1 T, ...").
class TrainingOutputParser
{
public:
    static TrainingOutputReading parse(const QString& chunk);
    // What the trainer's first line ("backend: CPU") says it trains on; empty when the chunk
    // has no such line.
    static QString trainsOn(const QString& chunk);
    // Why the trainer ended before the end of its schedule ("finished: no improvement in 3
    // evaluations"); empty when the chunk has no such line.
    static QString endReason(const QString& chunk);
    // Whole seconds as hours:minutes:seconds, each at least two digits; hours are not wrapped.
    static QString elapsedText(qint64 seconds);
};
