"""Makes the release package of the build under test, as the package target
does, into a folder of the test's own."""
import glob
import os
import subprocess


def build_package(out_dir, suffix, **variables):
    """The one package named *suffix that cpack makes in out_dir, with CPack
    variables overridden by `variables` (CPACK_PACKAGE_VERSION="1.0.1")."""
    build = os.environ["VELMORA_BUILD_DIR"]
    overrides = [arg for name, value in variables.items() for arg in ("-D", f"{name}={value}")]
    done = subprocess.run([os.environ["VELMORA_CPACK"], "--config", os.path.join(build, "CPackConfig.cmake"),
                           "-B", out_dir, *overrides], capture_output=True, text=True)
    assert done.returncode == 0, done.stdout + done.stderr
    made = glob.glob(os.path.join(out_dir, "*" + suffix))
    assert len(made) == 1, made
    return made[0]
