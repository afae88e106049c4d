#pragma once
// The dataset file of a protected host ("<host>.d" in the model directory):
// zone name to the values collected for that zone. Format:
// docs/dataset-files.md.
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace tessel::orvik {

// Zone name to its values, in collection order.
using DatasetData = std::map<std::string, std::vector<std::string>>;

// A file that is not a dataset file of a known version, or is damaged.
struct DatasetFormatError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Writes `data` to `path` atomically (a temporary file beside it, flushed
// and renamed into place). Throws std::system_error; the old file stays.
void dataset_save(const DatasetData& data, const std::string& path);

// Reads a dataset file. Throws DatasetFormatError for a foreign, newer,
// truncated or damaged file, std::system_error when it cannot be read.
DatasetData dataset_load(const std::string& path);
// The same for the bytes of a file; `name` starts the error texts.
DatasetData dataset_from_bytes(std::string_view bytes, const std::string& name);

// Removes what writes of the dataset file `path` that were cut short left
// behind: "<path>.tmp.<pid>.<n>" and "<path>.bak.tmp.<pid>.<n>". For the
// start of the host's training process, before its first write. Returns
// the paths removed; never throws.
std::vector<std::string> remove_stale_temporaries(const std::string& path);

namespace detail {
// A file's bytes around `payload`: header and checksum.
std::string dataset_seal(std::string_view payload);
// Tests make opening dataset files fail: the function gets the path and
// whether it is opened for writing, and returns the errno to fail with (0:
// open as usual). An empty function restores the usual opens.
using OpenFaultFn = std::function<int(const std::string& path, bool write)>;
void set_open_fault_for_testing(OpenFaultFn fn);
}  // namespace detail

}  // namespace tessel::orvik
