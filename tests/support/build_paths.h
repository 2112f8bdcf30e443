#pragma once
// Where the tests find the checkout, the build and the sandbox's python.
// They come from the build, and only build_paths.cc is compiled with them, so
// that every other test object stays the same wherever the tree is cloned and
// a compiler cache can share it between clones.

namespace testing_support {

/// The source tree's root (absolute).
const char* sourceDir();
/// The build tree's root (absolute).
const char* binaryDir();
/// The python3 with moto, boto3 and flask that runs the sandbox and oracles.
const char* pythonPath();

}  // namespace testing_support
