// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <memory>
#include <string>

#include "storage/image_container.h"

// The readers of each container kind, for image_container.cpp. Each opens
// its file read-only through its library and fills the device's
// ContainerInfo; on failure it returns the status OpenImageDevice documents
// and a reason in *errorText that names the file.
namespace storage {

// Longest chain of differencing images (child, parent, grandparent...) a
// reader follows; a longer one, or a loop, is refused as damaged.
inline constexpr int kMaxChainDepth = 16;

[[nodiscard]] Status OpenEwfDevice(const std::string& path, std::unique_ptr<ContainerDevice>* device,
                                   std::string* errorText);
// chainDepth counts the images below this one in its chain (0 for the image
// the user named); parents are opened at chainDepth + 1.
[[nodiscard]] Status OpenVhdiDevice(const std::string& path, int chainDepth, std::unique_ptr<ContainerDevice>* device,
                                    std::string* errorText);
[[nodiscard]] Status OpenVmdkDevice(const std::string& path, int chainDepth, std::unique_ptr<ContainerDevice>* device,
                                    std::string* errorText);
[[nodiscard]] Status OpenQcowDevice(const std::string& path, int chainDepth, std::unique_ptr<ContainerDevice>* device,
                                    std::string* errorText);

// OpenImageDevice for an image named inside another one (a backing file).
[[nodiscard]] Status OpenImageDeviceInChain(const std::string& path, int chainDepth, OpenedImage* out,
                                            std::string* errorText);

// Where a parent or backing file named inside the image at imagePath lies:
// the name itself when it is absolute and exists, else the name relative to
// the image's folder when that exists, else the name's last component (after
// '/' or '\') in the image's folder. Never fails; the result may not exist.
std::string ResolveChainPath(const std::string& imagePath, const std::string& named);

// "fat16.E01" → "fat16.E02"; "x.E99" → "x.EAA"; "x.EZZ" → "x.FAA"; case kept.
// Empty when the name does not end in such an extension.
std::string NextSegmentName(const std::string& segmentPath);

}  // namespace storage
