#include "vela_classifier.h"

namespace darknetclassifier {

void VelaClassifier::delete_classifier() { net.reset(); }

} // namespace darknetclassifier
