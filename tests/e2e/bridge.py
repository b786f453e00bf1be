"""The server as the cross-process suites name it: its class, its
interface and the registry keys they live under."""

CLSID = "{2C6F1A4E-7D93-4B58-A1E0-5F38C2D97B16}"
IID = "{8E41D7A2-35C9-4F0B-B6D4-93A7E15C2F08}"
CLASS_KEY = "HKCR\\CLSID\\" + CLSID
INTERFACE_KEY = "HKCR\\Interface\\" + IID
PROGIDS = ["HKCR\\zemka.twain.CStiScannerComBridge", "HKCR\\zemka.twain.CStiScannerComBridge.1"]
