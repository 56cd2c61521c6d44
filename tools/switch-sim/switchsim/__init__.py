# switch-sim: a simulated switch in a directory, booted with the real loader.
