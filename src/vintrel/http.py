"""The header collection, as callers know it: ``vintrel.http.HeaderMap``."""

from ._vintrel import HeaderMap

__all__ = ["HeaderMap"]
