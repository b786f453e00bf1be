"""The server as the cross-process suites name it: its class, its
interface and the registry keys they live under."""

import os

CLSID = "{2C6F1A4E-7D93-4B58-A1E0-5F38C2D97B16}"
IID = "{8E41D7A2-35C9-4F0B-B6D4-93A7E15C2F08}"
CLASS_KEY = "HKCR\\CLSID\\" + CLSID
INTERFACE_KEY = "HKCR\\Interface\\" + IID
PROGIDS = ["HKCR\\zemka.twain.CStiScannerComBridge", "HKCR\\zemka.twain.CStiScannerComBridge.1"]


def install_journalled(wine, installer, scenario, journal):
    """Installs the scenario with a journal of the driver's calls, begun
    anew; the installer's result."""
    if os.path.exists(journal):
        os.remove(journal)
    return wine.run(installer, wine.windows_path(scenario), "--journal",
                    wine.windows_path(journal))
