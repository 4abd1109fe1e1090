#pragma once

#include <opencv2/dnn.hpp>

#include <memory>

// Holds the network of a classifier configuration while it is loaded.
class NetworkHolder
{
public:
    // Set while a network is loaded.
    std::unique_ptr<cv::dnn::Net> net;

    bool has_network() const { return static_cast<bool>(net); }
    // Frees the loaded network; the holder can be loaded again.
    void delete_classifier() { net.reset(); }
};
