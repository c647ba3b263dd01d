#!/usr/bin/python3
"""A person at the printer's web page, in headless Chromium: sets the label size on the
Media page, the darkness on the Printing Defaults page and the cutter on the T58 Settings
page, prints the test page and finds the picture of the label the printer got on the Last
Label page.

Run by app_tests (AppWeb) against the app in the test harness; exit status 0 when every
step worked, else 1 with the step that failed on standard error."""

import argparse
import sys
import tempfile

from selenium import webdriver
from selenium.common.exceptions import NoSuchElementException, StaleElementReferenceException
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import Select, WebDriverWait

# Long enough for a loaded machine; a step that works does not wait for it.
WAIT_S = 60


def browser(profile):
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                 "--no-first-run", "--disable-background-networking",
                 "--disable-component-update", "--disable-sync", "--disable-dev-shm-usage",
                 "--window-size=1100,900", "--user-data-dir=" + profile):
        options.add_argument(flag)
    return webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)


def wait_for(driver, condition, poll=0.5):
    # A page that is being replaced by the next one is no failure: look again.
    return WebDriverWait(driver, WAIT_S, poll_frequency=poll, ignored_exceptions=(
        NoSuchElementException, StaleElementReferenceException)).until(condition)


def wait_for_text(driver, text):
    wait_for(driver, lambda d: text in d.find_element(By.TAG_NAME, "body").text)


def save(driver):
    driver.find_element(By.CSS_SELECTOR, "input[type=submit][value='Save Changes']").click()
    wait_for_text(driver, "Changes saved.")


def set_media(driver, base, size):
    driver.get(base + "/media")
    Select(driver.find_element(By.NAME, "ready0-size")).select_by_value(size)
    save(driver)


def set_darkness(driver, base, darkness_now, darkness):
    driver.get(base + "/printing")
    darkness_select = Select(driver.find_element(By.NAME, "print-darkness"))
    # Saving the page as it was opened keeps the darkness the printer has.
    shown = darkness_select.first_selected_option.get_attribute("value")
    if shown != str(darkness_now):
        raise AssertionError(f"the darkness reads {shown}, not the printer's {darkness_now}")
    darkness_select.select_by_value(str(darkness))
    save(driver)


def set_cutter(driver, base, cutter_label):
    """Through the navigation's T58 Settings; PAPPL's page then has the same default."""
    driver.get(base + "/")
    driver.find_element(By.LINK_TEXT, "T58 Settings").click()
    wait_for(driver, lambda d: d.find_element(By.NAME, "tarvik-cutter"))
    Select(driver.find_element(By.NAME, "tarvik-cutter")).select_by_visible_text(cutter_label)
    save(driver)
    driver.get(base + "/t58-settings")
    cutter = Select(driver.find_element(By.NAME, "tarvik-cutter")).first_selected_option
    if cutter.text != cutter_label:
        raise AssertionError(f"the cutter reads '{cutter.text}' after saving '{cutter_label}'")
    value = cutter.get_attribute("value")
    driver.get(base + "/printing")
    shown = Select(driver.find_element(By.NAME, "tarvik-cutter")).first_selected_option
    if shown.get_attribute("value") != value:
        raise AssertionError(f"Printing Defaults has the cutter {shown.get_attribute('value')}")


def print_test_page(driver, base):
    driver.get(base + "/")
    driver.find_element(By.CSS_SELECTOR, "input[type=submit][value='Print Test Page']").click()
    wait_for_text(driver, "Test page printed.")


def label_picture(driver, base, job_text):
    """The Last Label page once it shows the test page's job: the picture's size."""
    def loaded(d):
        d.get(base + "/label")
        if job_text not in d.find_element(By.TAG_NAME, "body").text:
            return False
        img = d.find_element(By.CSS_SELECTOR, "img[alt='Last label']")
        size = d.execute_script(
            "return arguments[0].complete ? [arguments[0].naturalWidth,"
            " arguments[0].naturalHeight] : null;", img)
        return size if size and size[0] > 0 else False
    return wait_for(driver, loaded, poll=0.2)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--base", required=True, help="the printer's page, http://HOST:PORT/NAME")
    parser.add_argument("--media", required=True)
    parser.add_argument("--darkness-now", type=int, required=True, help="the printer's, in %%")
    parser.add_argument("--darkness", type=int, required=True, help="the one to set, in %%")
    parser.add_argument("--cutter", required=True, help="the cutter choice's label")
    parser.add_argument("--width", type=int, required=True, help="dots of the head page")
    parser.add_argument("--lines", type=int, required=True, help="lines of the label")
    parser.add_argument("--job", type=int, required=True, help="the test page's job id")
    parser.add_argument("--screenshots", help="a folder for PNGs of the pages, at the end")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as profile:
        driver = browser(profile)
        try:
            set_media(driver, args.base, args.media)
            set_darkness(driver, args.base, args.darkness_now, args.darkness)
            set_cutter(driver, args.base, args.cutter)
            print_test_page(driver, args.base)
            width, lines = label_picture(driver, args.base, f"Job {args.job}:")
            if (width, lines) != (args.width, args.lines):
                raise AssertionError(f"the label's picture is {width} x {lines} dots, "
                                     f"not {args.width} x {args.lines}")
            if args.screenshots:
                for page, name in (("/", "printer-page"), ("/printing", "printing-defaults"),
                                   ("/t58-settings", "t58-settings")):
                    driver.get(args.base + page)
                    driver.save_screenshot(f"{args.screenshots}/{name}.png")
        except Exception as error:  # every failure is the test's result, with its step
            print(f"web test: {type(error).__name__}: {error}", file=sys.stderr)
            return 1
        finally:
            driver.quit()
    return 0


if __name__ == "__main__":
    sys.exit(main())
