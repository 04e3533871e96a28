"""The browser tests' group, by the name the test modules import: tools/sandbox/vksbx_web.py."""
from vksbx_web import *  # noqa: F401,F403
