#include "torch_loss_scale.h"

bool TorchLossScale::unscale(const std::vector<at::Tensor>& gradients)
{
    at::NoGradGuard noGrad;
    std::vector<at::Tensor> finite;
    finite.reserve(gradients.size());
    for (const at::Tensor& g : gradients) {
        if (!g.defined())
            continue;
        g.mul_(1.0 / current);
        finite.push_back(at::isfinite(g).all());
    }
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
