// The demo bundle's compose geometry: the manifest's "unified" block (the pi mask the director
// composes through) and "lip_template.v1.json", the procedural face's lip outline as a template.
#pragma once

#include <array>
#include <string>

namespace qo::devkit {

// Mouth opening the lip template is baked at: the mean of the idle loop's opening.
inline constexpr float kDemoLipTemplateOpen = 0.2f;

// The "unified" block, as the text of one JSON object: mode "prop", lips 17..20, the "v1" corpus
// geometry, crop.canvas = crop.
std::string demoUnifiedManifestBlock(int crop);

// The template: the face's outer lip ellipse at kDemoLipTemplateOpen, relative to the lip
// keypoints' mean and extents at that opening.
std::string demoLipTemplateJson(int crop);

// The pi centroid (x, y pixels) of the demo's target keypoints under the manifest's geometry: the
// frame the demo bank's donors are placed against.
std::array<double, 2> demoPiCentroid(int crop);

// Writes lip_template.v1.json into `dir`. Throws std::runtime_error.
void writeDemoPi(const std::string& dir, int crop);

}  // namespace qo::devkit
