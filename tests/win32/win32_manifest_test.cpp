#include <gtest/gtest.h>

#include <windows.h>

#include <string>

namespace {

// Windows reads the manifest from resource 1 of type RT_MANIFEST when it starts the program.
TEST(Win32Manifest, TheProgramAsksForAdministratorRightsAtStart) {
    const HMODULE program = ::LoadLibraryExA(KALVOR_EXE, nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(program, nullptr) << KALVOR_EXE;
    const HRSRC found = ::FindResourceA(program, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24));
    ASSERT_NE(found, nullptr);
    const auto* text = static_cast<const char*>(::LockResource(::LoadResource(program, found)));
    const std::string manifest(text, ::SizeofResource(program, found));
    ::FreeLibrary(program);

    EXPECT_NE(manifest.find("<requestedExecutionLevel level=\"requireAdministrator\""),
              std::string::npos)
        << manifest;
}

}  // namespace
