import os

import pytest

# Set by CI for the run against the AddressSanitizer build.
SANITIZED = os.environ.get("VINTREL_SANITIZED") == "1"

skip_sanitized = pytest.mark.skipif(SANITIZED, reason="slow or foreign tools under the sanitizer build")
