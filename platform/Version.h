// The programs' version as --version prints it: the release number, and
// the git revision of the sources they were built from when known
// ("0.91 (git f4b60a6)"). Written at build time (cmake/WriteVersion.cmake).
#pragma once

namespace quillet {

const char* VersionText();

} // namespace quillet
