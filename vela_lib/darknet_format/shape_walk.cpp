#include "shape_walk.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <map>
#include <sstream>

namespace {

using Problem = CfgFailure::Problem;
const long long kNoMinimum = CfgOptionReader::kNoMinimum;

ShapeWalk::Shape imageShape(long long w, long long h, int c)
{
    return ShapeWalk::Shape{int(w), int(h), c, w * h * c};
}

} // namespace

double ShapeWalk::Layer::forwardFlops() const
{
    if (kind == "convolutional")
        return 2.0 * units * size * size * (in.c / groups) * out.w * out.h;
    if (kind == "connected")
        return 2.0 * double(in.outputs) * units;
    return 0;
}

bool ShapeWalk::walk(const CfgDocument& document, const Shape& input, CfgFailure* failureOut)
{
    failure = failureOut;
    layerList.clear();
    pendingLimits.clear();
    for (size_t i = 1; i < document.sections.size(); ++i) {
        Layer next;
        next.section = &document.sections[i];
        next.kind = next.section->kind();
        next.in = next.out = layerList.empty() ? input : layerList.back().out;
        layerList.push_back(next);
        if (!layer() || !outputInRange())
            return false;
    }
    return true;
}

bool ShapeWalk::layer()
{
    static const std::map<std::string, bool (ShapeWalk::*)()> walkers{
        {"convolutional", &ShapeWalk::convolutional}, {"connected", &ShapeWalk::connected},
        {"maxpool", &ShapeWalk::maxpool}, {"upsample", &ShapeWalk::upsample}, {"crop", &ShapeWalk::crop},
        {"route", &ShapeWalk::route}, {"shortcut", &ShapeWalk::shortcut}, {"scale_channels", &ShapeWalk::scaleChannels}};
    Layer& l = layerList.back();
    const auto walker = walkers.find(l.kind);
    if (walker != walkers.end())
        return (this->*walker->second)();
    if (l.kind == "avgpool" || l.kind == "batchnorm") {
        if (!accepted() || !needImage())
            return false;
        if (l.kind == "avgpool")
            l.out = imageShape(1, 1, l.in.c);
        else
            l.parameterCount = 3LL * l.in.c; // scales, rolling means and variances
        return true;
    }
    if (l.kind != "softmax" && l.kind != "cost" && l.kind != "dropout")
        return fail(Problem::UnexpectedKind);
    // The library gives a softmax and a cost no image shape, only a width.
    if (l.kind != "dropout" && !rules.imageEverywhere)
        l.out = Shape{0, 0, 0, l.in.outputs};
    return accepted();
}

bool ShapeWalk::convolutional()
{
    Layer& l = layerList.back();
    const long long zero = rules.paddingAtLeastZero ? 0 : kNoMinimum;
    long long n, size, stride, pad, padding, groups, bn;
    if (!integer("filters", 1, 1, &n) || !integer("size", 1, 1, &size) || !integer("stride", 1, 1, &stride)
        || !integer("pad", 0, zero, &pad) || !integer("padding", 0, zero, &padding) || !integer("groups", 1, 1, &groups)
        || !integer("batch_normalize", 0, zero, &bn) || !accepted() || !needImage())
        return false;
    if (l.in.c % groups != 0 || n % groups != 0)
        return fail(Problem::GroupsDoNotDivide, {groups, l.in.c, n});
    if (!fits(size, 2 * (pad ? size / 2 : padding), stride, Problem::FilterDoesNotFit))
        return false;
    l.units = int(n);
    l.size = int(size);
    l.groups = int(groups);
    l.batchNormalize = bn != 0;
    l.out = imageShape(l.out.w, l.out.h, l.units);
    // Biases, the three normalisation vectors (scales, means, variances), the kernels.
    l.parameterCount = n * (l.batchNormalize ? 4 : 1) + n * (l.in.c / groups) * size * size;
    return true;
}

bool ShapeWalk::connected()
{
    Layer& l = layerList.back();
    long long n, bn;
    if (!integer("output", 1, 1, &n) || !integer("batch_normalize", 0, rules.paddingAtLeastZero ? 0 : kNoMinimum, &bn)
        || !accepted())
        return false;
    if (l.in.outputs < 1)
        return fail(Problem::NoInput);
    l.units = int(n);
    l.batchNormalize = bn != 0;
    l.out = Shape{1, 1, l.units, n};
    l.parameterCount = n * (l.batchNormalize ? 4 : 1) + l.in.outputs * n;
    return true;
}

bool ShapeWalk::maxpool()
{
    long long stride, size, padding;
    if (!integer("stride", 1, 1, &stride) || !integer("size", stride, 1, &size)
        || !integer("padding", size - 1, rules.paddingAtLeastZero ? 0 : kNoMinimum, &padding) || !accepted()
        || !needImage())
        return false;
    layerList.back().size = int(size);
    return fits(size, padding, stride, Problem::WindowDoesNotFit);
}

bool ShapeWalk::upsample()
{
    Layer& l = layerList.back();
    long long stride;
    if (!integer("stride", 2, 1, &stride) || !accepted() || !needImage())
        return false;
    l.out = imageShape(l.in.w * stride, l.in.h * stride, l.in.c);
    return true;
}

bool ShapeWalk::crop()
{
    Layer& l = layerList.back();
    if (rules.leadingCropOnly && layerList.size() > 1)
        return fail(Problem::CropNotFirst);
    long long height, width;
    if (!integer("crop_height", 1, 1, &height) || !integer("crop_width", 1, 1, &width) || !accepted() || !needImage())
        return false;
    if (height > l.in.h || width > l.in.w)
        return fail(Problem::CropTooLarge, {width, height, l.in.w, l.in.h});
    l.out = imageShape(width, height, l.in.c);
    return true;
}

bool ShapeWalk::route()
{
    Layer& l = layerList.back();
    const std::string* layers = reader.find(*l.section, "layers");
    if (!layers)
        return fail(Problem::MissingKey, {}, "layers");
    std::vector<std::string> items;
    std::stringstream list(*layers);
    for (std::string item; std::getline(list, item, ',');)
        if (!item.empty() || !rules.skipEmptyReferences)
            items.push_back(item);
    const bool listsNone = items.empty() || (!rules.skipEmptyReferences && layers->back() == ',');
    if (listsNone && rules.skipEmptyReferences)
        return fail(Problem::EmptyList, {}, "layers", *layers);
    long long groups = 1;
    if ((rules.routeGroups && !integer("groups", 1, 1, &groups)) || !accepted())
        return false;
    for (const std::string& item : items) {
        if (!reference("layers", item))
            return false;
        const Shape& from = layerList[size_t(l.sources.back())].out;
        if (l.sources.size() == 1) {
            l.out = from;
        } else if (from.w == l.out.w && from.h == l.out.h) {
            l.out.c += from.c;
            l.out.outputs += from.outputs;
        } else {
            return fail(Problem::SizesDiffer, {}, "layers", *layers);
        }
    }
    if (listsNone)
        return fail(Problem::EmptyList, {}, "layers", *layers);
    if (groups > 1)
        l.out = imageShape(l.out.w, l.out.h, int(l.out.c / groups));
    return true;
}

bool ShapeWalk::shortcut()
{
    if (!requiredReference("from") || !accepted() || !needImage())
        return false;
    const Layer& l = layerList.back();
    const Shape& f = layerList[size_t(l.sources.front())].out;
    const Shape& in = l.in;
    // The library adds the two maps with an integer stride or sampling step, and asserts that
    // both directions agree.
    const bool added = f.image() && f.w / in.w == f.h / in.h && in.w / f.w == in.h / f.h;
    const bool sampled = f.w >= in.w && f.h >= in.h && f.w % in.w == 0 && f.h % in.h == 0;
    if (!added || (rules.sampledShortcutOnly && !sampled))
        return fail(Problem::CannotAdd, {f.w, f.h, in.w, in.h}, "from", *reader.find(*l.section, "from"));
    return true;
}

// Each channel of the "from" layer times one value of the previous layer's 1 x 1 x C output.
bool ShapeWalk::scaleChannels()
{
    if (!requiredReference("from") || !accepted())
        return false;
    Layer& l = layerList.back();
    const Shape& f = layerList[size_t(l.sources.front())].out;
    if (!f.image() || l.in.outputs != f.c || (l.in.image() && (l.in.w != 1 || l.in.h != 1)))
        return fail(Problem::ScalesMismatch, {f.c, l.in.outputs}, "from", *reader.find(*l.section, "from"));
    l.out = f;
    return true;
}

bool ShapeWalk::requiredReference(const char* key)
{
    const std::string* text = reader.find(*layerList.back().section, key);
    return text ? reference(key, *text) : fail(Problem::MissingKey, {}, key);
}

bool ShapeWalk::reference(const char* key, const std::string& text)
{
    char* end = nullptr;
    const long long value = std::strtoll(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || (rules.intReferences && (value < INT_MIN || value > INT_MAX)))
        return fail(Problem::NotLayerIndex, {}, key, text);
    const long long index = (long long)layerList.size() - 1;
    const long long absolute = value < 0 ? index + value : value;
    if (absolute < 0 || absolute >= index)
        return fail(Problem::NotEarlierLayer, {}, key, text);
    if (rules.leadingCropOnly && absolute == 0 && layerList.front().kind == "crop")
        return fail(Problem::ReadsLeadingCrop, {}, key, text);
    layerList.back().sources.push_back(int(absolute));
    return true;
}

bool ShapeWalk::integer(const char* key, long long fallback, long long minimum, long long* value)
{
    const CfgSection& section = *layerList.back().section;
    if (!rules.limitsAfterOptions)
        return reader.integer(section, key, fallback, minimum, value, failure);
    if (!reader.integer(section, key, fallback, kNoMinimum, value, failure))
        return false;
    pendingLimits.push_back({key, *value, minimum});
    return true;
}

bool ShapeWalk::accepted()
{
    const int index = int(layerList.size()) - 1;
    if (rules.accepts && !rules.accepts(layerList.back(), index, reader, failure))
        return false;
    std::vector<Limit> limits;
    limits.swap(pendingLimits);
    for (const Limit& limit : limits)
        if (limit.value < limit.minimum)
            return fail(Problem::BelowMinimum, {limit.value, limit.minimum}, limit.key);
    return true;
}

bool ShapeWalk::needImage()
{
    return layerList.back().in.image() || fail(Problem::NoImageInput);
}

// Sets the output of a sliding window, or refuses a window that does not fit.
bool ShapeWalk::fits(long long size, long long padding, long long stride, CfgFailure::Problem problem)
{
    Layer& l = layerList.back();
    const long long w = (l.in.w + padding - size) / stride + 1;
    const long long h = (l.in.h + padding - size) / stride + 1;
    if (rules.windowsMustFit && (l.in.w + padding < size || l.in.h + padding < size || w < 1 || h < 1))
        return fail(problem, {size, l.in.w, l.in.h});
    l.out = imageShape(w, h, l.in.c);
    return true;
}

bool ShapeWalk::outputInRange()
{
    const Shape& out = layerList.back().out;
    if (rules.imageEverywhere)
        return out.image() || fail(Problem::EmptyOutput, {out.w, out.h, out.c});
    return (out.outputs >= 1 && out.outputs <= 1000000000LL) || fail(Problem::OutputOutOfRange, {out.outputs});
}

bool ShapeWalk::fail(CfgFailure::Problem problem, std::initializer_list<long long> values, const std::string& key,
                     const std::string& text)
{
    *failure = CfgFailure{problem, layerList.back().section, key, text};
    std::copy(values.begin(), values.end(), failure->values);
    return false;
}
