#include "cpu_vela_classifier.h"

namespace cpudarknetclassifier {

void CPUVelaClassifier::delete_classifier() { net.reset(); }

} // namespace cpudarknetclassifier
