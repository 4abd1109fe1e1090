#include "torch_loss_scale.h"

bool TorchLossScale::unscale(const std::vector<at::Tensor>& gradients)
{
    at::NoGradGuard noGrad;
    std::vector<at::Tensor> defined, finite;
    for (const at::Tensor& g : gradients)
        if (g.defined())
            defined.push_back(g);
    if (!defined.empty())
        at::_foreach_mul_(defined, 1.0 / current);
    for (const at::Tensor& g : defined)
        finite.push_back(at::isfinite(g).all());
    // One wait for the device, however many gradients.
    const bool allFinite = finite.empty() || at::stack(finite).all().item<bool>();
    if (!allFinite) {
        current /= 2;
        goodSteps = 0;
        return false;
    }
    if (++goodSteps >= growthInterval) {
        current *= 2;
        goodSteps = 0;
    }
    return true;
}
