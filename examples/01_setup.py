"""Bind the module to the installation and show what it found."""

import korvex_computer as cc
import korvex_computer.korvex_core as core

import _demo_env as demo

demo.use_demo_settings()
print("Setting up with", demo.INSTALL_DIR)
valid = cc.setup_korvex_computer(demo.INSTALL_DIR, cc.KorvexModule.Velmora)
print("Set up:", valid)
print()
print("Installation directory:", core._exePath_)
print("Assemblies directory:  ", core._dllPath_)
print("PipeStress solver:     ", core._PipeStress_)
print("Aster solver:          ", core._Aster_)
print("Data directory:        ", core._dataPath_)
print("Projects directory:    ", core._projectPath_)
print("Assemblies loaded:     ", ", ".join(core._dlls_))
