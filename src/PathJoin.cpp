#include "TextConvert.h"
#include "Utils.h"

#include <boost/algorithm/string/replace.hpp>

using orvanta::text::UpToNul;
using orvanta::text::Utf8ToWide;
using orvanta::text::WideToUtf8;

namespace {

// The join rule on pieces of one form. secondIsEmpty is passed separately because a narrow second
// piece is tested for emptiness before it is converted.
template <class String> String Join(String first, const String& second, bool secondIsEmpty) {
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
  return Join(std::move(first), second, second.empty());
}

std::wstring AppendPath(std::wstring first, std::wstring second) {
  return Join(std::move(first), second, second.empty());
}

std::wstring AppendPath(std::wstring first, std::string second) {
  return Join(std::move(first), Utf8ToWide(UpToNul(second)), second.empty());
}

std::wstring AppendPath(std::string first, std::string second) {
  return Utf8ToWide(UpToNul(AppendPathToString(std::move(first), std::move(second))));
}

std::wstring AppendPath(std::string first, std::wstring second) {
  return AppendPath(Utf8ToWide(UpToNul(first)), std::move(second));
}

std::string AppendPathToString(std::wstring first, std::wstring second) {
  return WideToUtf8(UpToNul(AppendPath(std::move(first), std::move(second))));
}

std::string AppendPathToString(std::wstring first, std::string second) {
  return WideToUtf8(UpToNul(AppendPath(std::move(first), std::move(second))));
}

std::string AppendPathToString(std::string first, std::wstring second) {
  return WideToUtf8(UpToNul(AppendPath(std::move(first), std::move(second))));
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
