// Thumbnail paths: the device's filing folder from the registry, the item's
// name, the last dot of the whole path and the ".tmb" suffix, all bounded to
// 260 units.
#include <gtest/gtest.h>

#include <vector>

#include "com/unique.h"
#include "unit/bridge_session.h"

namespace {

using session::Text;

constexpr HRESULT kCut = HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);

// JSON text of a registry string (backslashes doubled).
std::string Json(const Text& text)
{
  std::string out;
  for (WCHAR c : text) {
    if (c == W('\\')) out += '\\';
    out += static_cast<char>(c);
  }
  return out;
}

// The device's DeviceData key under the imaging class key.
Text DeviceDataPath()
{
  return Text(W("System\\CurrentControlSet\\Control\\Class\\")) + simtest::InternalName(0) +
         W("\\DeviceData");
}

class ThumbnailTest : public session::BridgeSessionTest {
 protected:
  void OpenWith(const Text& folder, const Text& itemName)
  {
    OpenWithList(session::OneDevice(R"({"itemName": ")" + Json(itemName) + R"("})",
                                    R"("deviceData": {"FilingPath": ")" + Json(folder) + R"("})"));
  }
  HRESULT Build(Text& path)
  {
    WCHAR buffer[260] = {};
    HRESULT hr = BridgeTestAccess::BuildThumbnailPath(bridge, 0, buffer);
    path = buffer;
    return hr;
  }
};

TEST_F(ThumbnailTest, TheLastDotOfTheWholePathBecomesAnUnderscore)
{
  struct Case {
    const WCHAR* folder;
    const WCHAR* itemName;
    const WCHAR* path;
  };
  const Case cases[] = {
      {W("D:\\Spool\\Jobs"), W("scan0001.tif"), W("D:\\Spool\\Jobs\\scan0001_tif.tmb")},
      {W("D:\\Spool\\Jobs"), W("scan0001"), W("D:\\Spool\\Jobs\\scan0001.tmb")},
      {W("D:\\Spool.1"), W("scan0001"), W("D:\\Spool_1\\scan0001.tmb")},
      {W("D:\\Spool"), W("a.b.tif"), W("D:\\Spool\\a.b_tif.tmb")},
      {W(""), W("x.y"), W("\\x_y.tmb")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Json(c.itemName));
    OpenWith(c.folder, c.itemName);
    Text path;
    EXPECT_EQ(Build(path), S_OK);
    EXPECT_EQ(path, c.path);
  }
}

TEST_F(ThumbnailTest, LengthsAtTheLimits)
{
  // The folder, a separator and the name make `before` units; the suffix
  // adds four.
  struct Case {
    size_t before;
    HRESULT hr;
    size_t length;
  };
  const Case cases[] = {{255, S_OK, 259}, {256, kCut, 259}, {259, kCut, 259}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.before);
    OpenWith(Text(c.before - 5, W('f')), W("name"));
    Text path;
    EXPECT_EQ(Build(path), c.hr);
    EXPECT_EQ(path.size(), c.length);
  }
  // A joined path over 259 units is refused before anything is written.
  OpenWith(Text(250, W('f')), Text(20, W('n')));
  Text path;
  EXPECT_EQ(Build(path), kCut);
  EXPECT_EQ(path, W(""));
}

TEST_F(ThumbnailTest, MissingRegistryDataFails)
{
  OpenWith(W("D:\\Spool"), W("a.tif"));
  Text path;
  platform_hooks::DenyRegistryKey(W("DeviceData"));
  EXPECT_EQ(Build(path), E_FAIL) << "a key that cannot be read";
  platform_hooks::Reset();
  ASSERT_EQ(Build(path), S_OK);

  const Text dataPath = DeviceDataPath();
  {
    UniqueKey key;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, dataPath.c_str(), 0, KEY_ALL_ACCESS, key.Put()),
              ERROR_SUCCESS);
    ASSERT_EQ(RegDeleteValueW(key.Get(), W("FilingPath")), ERROR_SUCCESS);
  }
  EXPECT_EQ(Build(path), E_FAIL) << "no FilingPath value";
  {
    UniqueKey key;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, dataPath.c_str(), 0, KEY_ALL_ACCESS, key.Put()),
              ERROR_SUCCESS);
    // 261 units: more than the 520 bytes offered. (The buffer goes on past
    // the count without a terminator, so that none is added.)
    std::vector<WCHAR> tooLong(262, W('d'));
    ASSERT_EQ(RegSetValueExW(key.Get(), W("FilingPath"), 0, REG_SZ,
                             reinterpret_cast<const BYTE*>(tooLong.data()), 261 * sizeof(WCHAR)),
              ERROR_SUCCESS);
  }
  EXPECT_EQ(Build(path), E_FAIL) << "FilingPath larger than 520 bytes";
  ASSERT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, dataPath.c_str()), ERROR_SUCCESS);
  EXPECT_EQ(Build(path), E_FAIL) << "no DeviceData key";
}

TEST_F(ThumbnailTest, AFolderFillingAllItsBytesIsEndedAt260Units)
{
  OpenWith(W("D:\\Spool"), W("a.tif"));
  {
    UniqueKey key;
    ASSERT_EQ(
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, DeviceDataPath().c_str(), 0, KEY_ALL_ACCESS, key.Put()),
        ERROR_SUCCESS);
    // Exactly 520 bytes, no terminator (nor one right after them).
    std::vector<WCHAR> full(261, W('d'));
    ASSERT_EQ(RegSetValueExW(key.Get(), W("FilingPath"), 0, REG_SZ,
                             reinterpret_cast<const BYTE*>(full.data()), 520),
              ERROR_SUCCESS);
  }
  Text path;
  EXPECT_EQ(Build(path), kCut) << "260 units and a name do not fit";
}

}  // namespace
