"""pytest plugin (registered on install): a `controller` fixture.

    def test_info(controller):
        assert controller.call('INFO', p8=0) == 255

Override the `controller_settings` fixture to give settings keys (such as
com1); --arvokor-bin names the folder holding arvokor and korjob.
"""

import pytest

from .controller import VirtualController


def pytest_addoption(parser):
    parser.addoption('--arvokor-bin', default=None,
                     help='folder holding arvokor and korjob (default: $ARVOKOR_BIN, then PATH)')


@pytest.fixture
def controller_settings():
    """Keys of the controller's settings file; override to change them."""
    return {}


@pytest.fixture
def controller(request, controller_settings):
    """A started VirtualController on a loopback address of its own, closed
    after the test."""
    vc = VirtualController(bin_dir=request.config.getoption('--arvokor-bin'),
                           **controller_settings)
    try:
        yield vc
    finally:
        vc.close()
