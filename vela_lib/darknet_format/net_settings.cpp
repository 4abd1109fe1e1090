#include "net_settings.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace {

const std::string* option(const CfgSection& section, const char* key)
{
    return section.find(key);
}

// libdarknet reads numbers with atoi and atof: a leading number, whatever follows it.
int integer(const CfgSection& section, const char* key, int fallback)
{
    const std::string* text = option(section, key);
    return text ? std::atoi(text->c_str()) : fallback;
}

float real(const CfgSection& section, const char* key, float fallback)
{
    const std::string* text = option(section, key);
    return text ? float(std::atof(text->c_str())) : fallback;
}

NetSettings::Policy policyOf(const std::string& name)
{
    using P = NetSettings::Policy;
    if (name == "random") return P::Random;
    if (name == "poly") return P::Poly;
    if (name == "step") return P::Step;
    if (name == "exp") return P::Exp;
    if (name == "sigmoid") return P::Sig;
    if (name == "steps") return P::Steps;
    return P::Constant; // libdarknet's answer to an unknown name too
}

// "a,b,c" as libdarknet splits a steps or scales list: one value per comma and one more.
template <typename T, typename Read>
std::vector<T> list(const std::string& text, size_t count, Read read)
{
    std::vector<T> values;
    const char* at = text.c_str();
    for (size_t i = 0; i < count; ++i) {
        values.push_back(T(read(at)));
        const char* comma = at ? std::strchr(at, ',') : nullptr;
        at = comma ? comma + 1 : nullptr;
        if (!at)
            break;
    }
    values.resize(count, T(0));
    return values;
}

} // namespace

bool NetSettings::read(const CfgDocument& document, NetSettings* s, std::string* error)
{
    if (document.sections.empty() || document.sections.front().kind() != "net") {
        *error = "the configuration does not start with [net]";
        return false;
    }
    const CfgSection& net = document.sections.front();
    *s = NetSettings();
    s->batch = integer(net, "batch", 1);
    s->learningRate = real(net, "learning_rate", 0.001f);
    s->momentum = real(net, "momentum", 0.9f);
    s->decay = real(net, "decay", 0.0001f);
    s->subdivisions = std::max(1, integer(net, "subdivisions", 1));
    s->adam = integer(net, "adam", 0) != 0;
    s->height = integer(net, "height", 0);
    s->width = integer(net, "width", 0);
    s->channels = integer(net, "channels", 0);
    const int maxCrop = integer(net, "max_crop", s->width * 2);
    const int minCrop = integer(net, "min_crop", s->width);
    s->maxRatio = real(net, "max_ratio", s->width ? float(maxCrop) / float(s->width) : 0.f);
    s->minRatio = real(net, "min_ratio", s->width ? float(minCrop) / float(s->width) : 0.f);
    s->center = integer(net, "center", 0) != 0;
    s->angle = real(net, "angle", 0);
    s->aspect = real(net, "aspect", 1);
    s->saturation = real(net, "saturation", 1);
    s->exposure = real(net, "exposure", 1);
    s->hue = real(net, "hue", 0);

    const std::string* policy = option(net, "policy");
    s->policyName = policy ? *policy : "constant";
    s->policy = policyOf(s->policyName);
    s->burnIn = integer(net, "burn_in", 0);
    s->power = real(net, "power", 4);
    if (s->policy == Policy::Step) {
        s->step = integer(net, "step", 1);
        s->scale = real(net, "scale", 1);
    } else if (s->policy == Policy::Steps) {
        const std::string* steps = option(net, "steps");
        const std::string* scales = option(net, "scales");
        if (steps && scales) {
            const size_t count = size_t(std::count(steps->begin(), steps->end(), ',')) + 1;
            s->steps = list<int>(*steps, count, [](const char* at) { return at ? std::atoi(at) : 0; });
            s->scales = list<float>(*scales, count, [](const char* at) { return at ? std::atof(at) : 0.0; });
        }
    } else if (s->policy == Policy::Exp) {
        s->gamma = real(net, "gamma", 1);
    } else if (s->policy == Policy::Sig) {
        s->gamma = real(net, "gamma", 1);
        s->step = integer(net, "step", 1);
    }
    s->maxBatches = integer(net, "max_batches", 0);
    return true;
}

size_t NetSettings::batchNumber(size_t imagesSeen) const
{
    return imagesSeen / size_t(imagesPerIteration());
}

// The arithmetic is libdarknet's, types included: C's pow and exp take doubles of the float
// values, a batch number is unsigned (so the sigmoid policy's "batch - step" wraps before step,
// and a step below zero compares as a huge number), and the result is a float.
float NetSettings::rate(size_t batchNumber) const
{
    const auto times = [this](double factor) { return float(double(learningRate) * factor); };
    if (batchNumber < size_t(burnIn))
        return times(std::pow(double(float(batchNumber) / float(burnIn)), double(power)));
    switch (policy) {
    case Policy::Constant:
        return learningRate;
    case Policy::Step:
        return times(std::pow(double(scale), double(batchNumber / size_t(step))));
    case Policy::Steps: {
        float current = learningRate;
        for (size_t i = 0; i < steps.size(); ++i) {
            if (size_t(steps[i]) > batchNumber)
                return current;
            current *= scales[i];
        }
        return current;
    }
    case Policy::Exp:
        return times(std::pow(double(gamma), double(batchNumber)));
    case Policy::Poly:
        return times(std::pow(double(1 - float(batchNumber) / float(maxBatches)), double(power)));
    case Policy::Random:
        return times(std::pow(double(float(std::rand()) / float(RAND_MAX)), double(power)));
    case Policy::Sig:
        return times(1. / (1. + std::exp(double(gamma * float(batchNumber - size_t(step))))));
    }
    return learningRate;
}
