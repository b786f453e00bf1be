#include "doctor/signature_probe.h"

#include <windows.h>
// After windows.h, which they build on.
#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>

#include <string>
#include <vector>

#include "console/messages.h"
#include "server/registry.h"
#include "server/version.h"
#include "stibridge.h"

namespace stiscan {

namespace {

// The file of an InprocServer32 value: COM allows quotes around it.
std::wstring Unquoted(const std::wstring& value)
{
  if (value.size() >= 2 && value.front() == L'"') {
    const size_t end = value.find(L'"', 1);
    return end == std::wstring::npos ? std::wstring() : value.substr(1, end - 1);
  }
  return value;
}

// The proxy/stub DLL that a program of `view`'s bitness loads for the interface.
std::wstring ProxyFile(REGSAM view)
{
  wchar_t iid[40] = {};
  StringFromGUID2(IID_IStiScannerComBridge, iid, 40);
  std::wstring proxyClass, file;
  if (ReadRegistryText(HKEY_CLASSES_ROOT,
                       std::wstring(L"Interface\\") + iid + L"\\ProxyStubClsid32", nullptr, view,
                       proxyClass) != RegistryText::kRead ||
      proxyClass.empty() ||
      ReadRegistryText(HKEY_CLASSES_ROOT, L"CLSID\\" + proxyClass + L"\\InprocServer32", nullptr,
                       view, file) != RegistryText::kRead) {
    return {};
  }
  return Unquoted(file);
}

// Where the package puts the data source of one bitness: the Windows
// folder's twain_32 or twain_64, in a folder of the product's own.
std::wstring DataSource(const wchar_t* folder)
{
  wchar_t windows[MAX_PATH] = {};
  const UINT units = GetWindowsDirectoryW(windows, MAX_PATH);
  if (units == 0 || units >= MAX_PATH) return {};
  return std::wstring(windows, units) + L"\\" + folder + L"\\stibridge\\stibridge.ds";
}

std::wstring ThisProgram()
{
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD units = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (units == 0) return {};
    if (units < path.size()) return path.substr(0, units);
    if (path.size() >= 32768) return {};
    path.resize(path.size() * 2);
  }
}

// What WinVerifyTrust says of the file's embedded signature, with the
// policy Authenticode uses for code (WINTRUST_ACTION_GENERIC_VERIFY_V2):
// the signature over the file's digest, the signer's certificate and its
// chain up to a trusted root, no user interface. Revocation is not asked
// for: the doctor must not wait on the network.
LONG TrustOf(const std::wstring& path)
{
  WINTRUST_FILE_INFO file = {};
  file.cbStruct = sizeof file;
  file.pcwszFilePath = path.c_str();
  WINTRUST_DATA data = {};
  data.cbStruct = sizeof data;
  data.dwUIChoice = WTD_UI_NONE;
  data.fdwRevocationChecks = WTD_REVOKE_NONE;
  data.dwUnionChoice = WTD_CHOICE_FILE;
  data.pFile = &file;
  data.dwStateAction = WTD_STATEACTION_VERIFY;
  data.dwProvFlags = WTD_CACHE_ONLY_URL_RETRIEVAL;
  GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  const LONG verdict = WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
  data.dwStateAction = WTD_STATEACTION_CLOSE;
  WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
  return verdict;
}

// The name of the signer that the file's signature names: its certificate,
// found in the signature's own certificates by the issuer and serial number
// that the signer information gives, whether or not anybody trusts it.
std::string SignerOf(const std::wstring& path)
{
  HCERTSTORE store = nullptr;
  HCRYPTMSG message = nullptr;
  DWORD encoding = 0, content = 0, format = 0;
  if (!CryptQueryObject(CERT_QUERY_OBJECT_FILE, path.c_str(),
                        CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED, CERT_QUERY_FORMAT_FLAG_BINARY,
                        0, &encoding, &content, &format, &store, &message, nullptr)) {
    return {};
  }
  std::string name;
  DWORD size = 0;
  if (CryptMsgGetParam(message, CMSG_SIGNER_INFO_PARAM, 0, nullptr, &size) && size > 0) {
    std::vector<unsigned char> buffer(size);
    if (CryptMsgGetParam(message, CMSG_SIGNER_INFO_PARAM, 0, buffer.data(), &size)) {
      const auto* signer = reinterpret_cast<const CMSG_SIGNER_INFO*>(buffer.data());
      CERT_INFO wanted = {};
      wanted.Issuer = signer->Issuer;
      wanted.SerialNumber = signer->SerialNumber;
      const PCCERT_CONTEXT certificate =
          CertFindCertificateInStore(store, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                                     CERT_FIND_SUBJECT_CERT, &wanted, nullptr);
      if (certificate != nullptr) {
        wchar_t text[256] = {};
        const DWORD units =
            CertGetNameStringW(certificate, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, text, 256);
        if (units > 1) name = Narrow(text, units - 1);
        CertFreeCertificateContext(certificate);
      }
    }
  }
  CryptMsgClose(message);
  CertCloseStore(store, 0);
  return name;
}

SignatureFacts Look(const char* name, const std::wstring& path)
{
  SignatureFacts facts;
  facts.name = name;
  facts.path = Narrow(path);
  if (path.empty()) return facts;
  const DWORD attributes = GetFileAttributesW(path.c_str());
  facts.exists =
      attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
  if (!facts.exists) return facts;
  facts.asked = true;
  const LONG verdict = TrustOf(path);
  facts.verdict = static_cast<unsigned long>(verdict);
  if (verdict != 0) facts.verdictText = DescribeHresult(verdict, Source::kSystem);
  facts.signer = SignerOf(path);
  return facts;
}

}  // namespace

std::vector<SignatureFacts> GatherSignatureFacts()
{
  std::wstring value, server;
  if (RegisteredServer(value)) server = ServerProgramOf(value);
  return {Look("stibridge.exe", server),
          Look("stibridgeps.dll (x64)", ProxyFile(KEY_WOW64_64KEY)),
          Look("stibridgeps.dll (x86)", ProxyFile(KEY_WOW64_32KEY)),
          Look("stibridge.ds (32-bit)", DataSource(L"twain_32")),
          Look("stibridge.ds (64-bit)", DataSource(L"twain_64")),
          Look("stiscan.exe (this program)", ThisProgram())};
}

}  // namespace stiscan
