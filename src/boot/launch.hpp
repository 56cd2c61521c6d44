// Application launch: unpack the archive, install script, env-setup, and the
// launcher chosen by the boot settings.
#pragma once

[[noreturn]] void launch_application(bool is_diagnostics);
