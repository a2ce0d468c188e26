#include "TextConvert.h"
#include "Utils.h"

#include <boost/algorithm/string/replace.hpp>

using orvanta::text::Utf8ToWideUpToNul;
using orvanta::text::WideToUtf8UpToNul;

namespace {

// The join rule on pieces of one form. secondIsEmpty is passed separately because a narrow second
// piece is tested for emptiness before it is converted. Both pieces are the callers' own copies:
// either may become the result without another copy.
template <class String> String Join(String first, String second, bool secondIsEmpty) {
  using Char = typename String::value_type;
  const Char slash = static_cast<Char>('/');
  if (first.empty())
    return second;
  if (secondIsEmpty)
    return first;
  const bool seamHasSlash = first.back() == slash || (!second.empty() && second.front() == slash);
  if (!seamHasSlash)
    first.push_back(slash);
  first += second;
  return first;
}

} // namespace

std::string AppendPathToString(std::string first, std::string second) {
  const bool secondIsEmpty = second.empty();
  return Join(std::move(first), std::move(second), secondIsEmpty);
}

std::wstring AppendPath(std::wstring first, std::wstring second) {
  const bool secondIsEmpty = second.empty();
  return Join(std::move(first), std::move(second), secondIsEmpty);
}

std::wstring AppendPath(std::wstring first, std::string second) {
  return Join(std::move(first), Utf8ToWideUpToNul(second), second.empty());
}

std::wstring AppendPath(std::string first, std::string second) {
  // Converting a path alone is the common call: no join to make.
  if (first.empty())
    return Utf8ToWideUpToNul(second);
  return Utf8ToWideUpToNul(AppendPathToString(std::move(first), std::move(second)));
}

std::wstring AppendPath(std::string first, std::wstring second) {
  return AppendPath(Utf8ToWideUpToNul(first), std::move(second));
}

std::string AppendPathToString(std::wstring first, std::wstring second) {
  if (first.empty())
    return WideToUtf8UpToNul(second);
  return WideToUtf8UpToNul(AppendPath(std::move(first), std::move(second)));
}

std::string AppendPathToString(std::wstring first, std::string second) {
  return WideToUtf8UpToNul(AppendPath(std::move(first), std::move(second)));
}

std::string AppendPathToString(std::string first, std::wstring second) {
  return WideToUtf8UpToNul(AppendPath(std::move(first), std::move(second)));
}

std::wstring ExtractFilePath(std::wstring path) {
  // A backslash anywhere wins over every "/", even one that stands after it.
  auto cut = path.rfind(L'\\');
  if (cut == std::wstring::npos)
    cut = path.rfind(L'/');
  if (cut == std::wstring::npos)
    return std::wstring();
  path.resize(cut + 1);
  return path;
}

std::wstring ConvertFilePath(std::wstring path) {
  boost::algorithm::replace_all(path, L"\\", L"/");
  return path;
}
