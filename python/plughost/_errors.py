# SPDX-License-Identifier: MIT
"""The exceptions of plughost. Each carries the host library's cause and hint."""


class PluginError(Exception):
    """Base of every error plughost raises: ``cause`` says what went wrong, ``hint`` what to do."""

    def __init__(self, cause: str, hint: str = "", call: str = ""):
        super().__init__(cause if not hint else f"{cause}\nhint: {hint}")
        self.cause = cause
        self.hint = hint
        self.call = call


class PluginValueError(PluginError, ValueError):
    """A bad argument: a wrong array, an unknown parameter, text that does not parse, bad state."""


class PluginFileError(PluginError, OSError):
    """A file (audio, MIDI) that cannot be read or written."""


class PluginLoadError(PluginError):
    """A plug-in that cannot be found or loaded, or that gives no usable instance."""


class PluginClosedError(PluginError, ValueError):
    """Use of a plug-in after close()."""


class PluginCrashed(PluginError):
    """The plug-in crashed, aborted or threw in its helper process; ``call`` names the call."""


class PluginTimeout(PluginCrashed):
    """The plug-in took longer than the time limit in its helper process, which was ended."""
