// The version of the programs, the same text in each: the release ("3.5.0"),
// followed in a build from a git checkout that is not at a tag by the short
// commit ("3.5.0 (1a2b3c4)").
#pragma once

namespace odu {

const char* VersionText();

}  // namespace odu
