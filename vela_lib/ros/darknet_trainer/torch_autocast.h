#pragma once

#include <ATen/autocast_mode.h>
#include <torch/version.h>

// A region in which LibTorch runs the operations that gain from it in 16-bit floats (fp16 on
// CUDA, bfloat16 on the CPU) and the rest in fp32, as PyTorch's autocast does; disabled, it does
// nothing. Casts of the weights are cached inside the region and dropped when the outermost one
// ends, since the weights change between iterations. The library renamed these calls in 2.4.
class TorchAutocast
{
public:
    TorchAutocast(bool enabled, c10::DeviceType device) : enabled(enabled), device(device)
    {
        if (!enabled)
            return;
        was = isOn(device);
        at::autocast::increment_nesting();
        turn(device, true);
    }

    ~TorchAutocast()
    {
        if (!enabled)
            return;
        turn(device, was);
        if (at::autocast::decrement_nesting() == 0)
            at::autocast::clear_cache();
    }

    TorchAutocast(const TorchAutocast&) = delete;
    TorchAutocast& operator=(const TorchAutocast&) = delete;

private:
#if TORCH_VERSION_MAJOR > 2 || (TORCH_VERSION_MAJOR == 2 && TORCH_VERSION_MINOR >= 4)
    static bool isOn(c10::DeviceType device) { return at::autocast::is_autocast_enabled(device); }
    static void turn(c10::DeviceType device, bool on)
    {
        at::autocast::set_autocast_dtype(device, device == c10::DeviceType::CUDA ? at::kHalf : at::kBFloat16);
        at::autocast::set_autocast_enabled(device, on);
    }
#else
    static bool isOn(c10::DeviceType device)
    {
        return device == c10::DeviceType::CUDA ? at::autocast::is_enabled() : at::autocast::is_cpu_enabled();
    }
    static void turn(c10::DeviceType device, bool on)
    {
        if (device == c10::DeviceType::CUDA) {
            at::autocast::set_autocast_gpu_dtype(at::kHalf);
            at::autocast::set_enabled(on);
        } else {
            at::autocast::set_autocast_cpu_dtype(at::kBFloat16);
            at::autocast::set_cpu_enabled(on);
        }
    }
#endif

    const bool enabled;
    const c10::DeviceType device;
    bool was = false;
};
