"""The browser tests' desk, by the name the test modules import: tools/sandbox/vksbx_desk.py."""
from vksbx_desk import *  # noqa: F401,F403
