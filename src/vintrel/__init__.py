"""HTTP/1.1 and HTTP/2 protocol logic for Python, without I/O.

The classes live in the extension module :mod:`vintrel._vintrel`; this
package re-exports its public names.
"""

from . import _vintrel
from ._vintrel import *  # noqa: F401,F403

__version__ = _vintrel.__version__
__all__ = list(_vintrel.__all__)
