from ._oculane_core import *  # noqa: F401,F403
from ._oculane_core import CameraError as CameraException, GenicamError as GenicamException
